// A session recorded between a host and the simulator, played back by
// --replay to a fresh host: the second host must get the first one's data.

#include <gtest/gtest.h>
#include <termios.h>

#include <atomic>
#include <mutex>
#include <thread>

#include <fmt/format.h>

#include "tests/sim/sim_harness.h"

using namespace sim_test;

namespace {

int open_raw(const std::string& path) {
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) throw std::runtime_error("cannot open " + path);
    termios t{};
    tcgetattr(fd, &t);
    cfmakeraw(&t);
    tcsetattr(fd, TCSANOW, &t);
    return fd;
}

// Sits on the line between host and simulator and writes what passes in the
// capture format: "<seconds> tx|rx <hex>".
class Recorder {
public:
    explicit Recorder(const std::string& sim_pty) {
        master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) throw std::runtime_error("no pty");
        host_side = ptsname(master);
        keep = open_raw(host_side);
        sim_fd = open_raw(sim_pty);
        worker = std::thread([this] { loop(); });
    }
    ~Recorder() {
        stop = true;
        worker.join();
        close(master);
        close(keep);
        close(sim_fd);
    }
    std::string capture() {
        std::lock_guard<std::mutex> l(m);
        return text;
    }
    std::string host_side;

private:
    void pass(int from, int to, const char* dir) {
        unsigned char buf[4096];
        const ssize_t n = read(from, buf, sizeof buf);
        if (n <= 0) return;
        std::lock_guard<std::mutex> l(m);
        text += fmt::format("{:.6f} {} ", seconds_since(start), dir);
        for (ssize_t i = 0; i < n; ++i) text += fmt::format("{:02X}", buf[i]);
        text += "\n";
        for (ssize_t done = 0; done < n;) {
            const ssize_t w = write(to, buf + done, static_cast<size_t>(n - done));
            if (w > 0) done += w;
        }
    }
    void loop() {
        while (!stop) {
            pollfd p[2] = {{master, POLLIN, 0}, {sim_fd, POLLIN, 0}};
            if (poll(p, 2, 20) <= 0) continue;
            if (p[0].revents & POLLIN) pass(master, sim_fd, "tx");
            if (p[1].revents & POLLIN) pass(sim_fd, master, "rx");
        }
    }
    int master = -1, keep = -1, sim_fd = -1;
    std::atomic<bool> stop{false};
    std::mutex m;
    std::string text;
    Clock::time_point start = Clock::now();
    std::thread worker;
};

// A snapshot without its cycle time stamp.
std::vector<unsigned char> without_stamp(const testing_support::Snapshot& s) {
    auto b = s.bytes;
    const size_t at = s.type == 5088 ? 25 : s.type == 5090 ? 179 : 38;
    std::fill(b.begin() + static_cast<long>(at), b.begin() + static_cast<long>(at + 7), 0);
    return b;
}

}  // namespace

TEST(ReplayEndToEnd, ARecordedSessionPlaysBackToAFreshHost) {
    // Split and garbled answers are recorded as they were, and replayed so.
    TempFile scenario(R"({"timeline": [{"at_cycle": 2, "fault": ["split", "garbage"], "answer": 2}]})");
    std::vector<testing_support::Snapshot> recorded;
    TempFile capture("", ".capture");
    {
        SimProcess live({"--scenario", scenario.path});
        Recorder rec(live.pty);
        Host host(settings_for(2, 2), rec.host_side);
        host.run_cycles(2, 15);
        ASSERT_EQ(host.cycles(), 2u);
        recorded = host.ctl->snapshots;
        capture.write("# recorded by the replay test\n" + rec.capture());
    }
    SimProcess replay({"--replay", capture.path});
    Host host(settings_for(2, 2), replay.pty);
    host.run_cycles(2, 15);
    ASSERT_EQ(host.cycles(), 2u) << replay.stderr_text();
    ASSERT_EQ(host.ctl->snapshots.size(), recorded.size());
    for (size_t i = 0; i < recorded.size(); ++i) {
        EXPECT_EQ(host.ctl->snapshots[i].type, recorded[i].type);
        EXPECT_EQ(without_stamp(host.ctl->snapshots[i]), without_stamp(recorded[i])) << "snapshot " << i;
    }
    EXPECT_EQ(replay.stop(), 0);
    const auto st = replay.stats();
    EXPECT_EQ(st.at("replayed"), 11u + 5u);
    EXPECT_EQ(st.at("replay_misses"), 0u);
}

TEST(ReplayEndToEnd, CaptureFilesThatDoNotReadAreRefusedWithTheirLine) {
    const std::pair<const char*, const char*> cases[] = {
        {"0.0 tx 7E30\n0.1 rx 7Z\n", ":2: expected hex bytes, found \"7Z\""},
        {"0.5 tx 7E0D\n0.1 rx 7E0D\n", ":2: times go backwards"},
        {"0.0 up 7E0D\n", ":1: expected \"tx\" or \"rx\", found \"up\""},
        {"x tx 7E0D\n", ":1: expected a time in seconds, found \"x\""},
        {"0.0 tx 7E0D extra\n", ":1: expected \"<seconds> tx|rx <hex bytes>\""},
        {"# nothing\n0.0 rx 7E0D\n", ": no request in the capture"},
    };
    for (const auto& [text, message] : cases) {
        TempFile f(text, ".capture");
        const auto r = run_sim({"--pty", "--replay", f.path});
        EXPECT_EQ(r.status, 2) << text;
        EXPECT_EQ(r.err, "m520s-sim: " + f.path + message + "\n");
    }
}
