// A session between a host and the simulator, written in the capture format
// and played back by --replay to a fresh host: the second host must get the
// first one's data.

#include <gtest/gtest.h>

#include <fmt/format.h>

#include "tests/sim/sim_harness.h"

using namespace sim_test;

namespace {

// The capture of a session from the simulator's --verbose log: each line
// "m520s-sim: <t> cycle <n> request <text> answer <text>", CR shown as '|'.
std::string capture_of(const std::string& log) {
    std::istringstream in(log);
    std::string out = "# a session of the replay test\n";
    for (std::string line; std::getline(in, line);) {
        std::istringstream w(line);
        std::string tag, t, word, n, request, answer, text;
        if (!(w >> tag >> t >> word >> n >> word >> request >> word >> answer) || word != "answer") continue;
        auto hex = [](const std::string& s) {
            std::string h;
            for (char c : s) h += fmt::format("{:02X}", static_cast<unsigned char>(c == '|' ? '\r' : c));
            return h;
        };
        out += t + "000 tx " + hex("~" + request + "|") + "\n" + t + "500 rx " + hex(answer) + "\n";
    }
    return out;
}

// A snapshot without its cycle time stamp.
std::vector<unsigned char> without_stamp(const testing_support::Snapshot& s) {
    auto b = s.bytes;
    const long at = s.type == 5088 ? 25 : s.type == 5090 ? 179 : 38;
    std::fill(b.begin() + at, b.begin() + at + 7, 0);
    return b;
}

}  // namespace

TEST(ReplayEndToEnd, ARecordedSessionPlaysBackToAFreshHost) {
    TempFile capture("", ".capture");
    std::vector<testing_support::Snapshot> recorded;
    {
        SimProcess live({"--verbose"});
        Host host(settings_for(2, 2), live.pty);
        host.run_cycles(2, 15);
        ASSERT_EQ(host.cycles(), 2u);
        recorded = host.ctl->snapshots;
        capture.write(capture_of(live.stderr_text()));
    }
    SimProcess replay({"--replay", capture.path});
    Host host(settings_for(2, 2), replay.pty);
    host.run_cycles(2, 15);
    ASSERT_EQ(host.ctl->snapshots.size(), recorded.size()) << replay.stderr_text();
    for (size_t i = 0; i < recorded.size(); ++i)
        EXPECT_EQ(without_stamp(host.ctl->snapshots[i]), without_stamp(recorded[i])) << "snapshot " << i;
    EXPECT_EQ(replay.stop(), 0);
    EXPECT_EQ(replay.stats().at("replayed"), 11u + 5u);
    EXPECT_EQ(replay.stats().at("replay_misses"), 0u);
}
