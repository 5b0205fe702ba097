// Every fault the simulator injects, as the host lives through it. Each kind
// gets a simulator and a host of its own, all at once: a clean first cycle,
// the fault on one answer of the second, then a completed cycle within one
// retry period, with none of the spoiled bytes taken for data.

#include <gtest/gtest.h>

#include <memory>
#include <thread>

#include "tests/sim/sim_harness.h"

using namespace sim_test;

namespace {

// Constant values, so a spoiled answer taken for data would show.
const std::string kSite = R"("ac": [{"channels": [{"a": 221.5}], "ia": 10.25}, {"channels": 1, "ia": 3.5}],
  "dc": [{"v": 48.25, "i": 12.5}, {"v": 48.5, "i": 13.5}],
  "rectifier": {"modules": [{"module_value": 11}, {"module_value": 12}, {"module_value": 13}]},
  "fault_options": {"late_ms": 700, "split_gap_ms": 40})";
// One retry period (three tries of 400 ms, or the stall limit), the time
// guard of 2 s between cycles, and a cycle's own time.
constexpr double kBudget = 2.4 + 2.0 + 1.6;

struct Outcome {
    PMBusProtocol::Counters counters;
    std::string logs;
    std::map<std::string, uint64_t> stats;
};

// `answer` counts the five a cycle with valid data and no changes asks for:
// 40/41, 41/41, 42/41, 40/46, 42/46.
std::string scenario_with(const std::string& fault, int answer) {
    return "{" + kSite + R"(, "timeline": [{"at_cycle": 2, "fault": ")" + fault + "\", \"answer\": " +
           std::to_string(answer) + "}]}";
}

void live_through(const std::string& fault, SimProcess& sim, Outcome& out) {
    SCOPED_TRACE("fault " + fault);
    Host host(settings_for(2, 2), sim.pty);
    host.run_cycles(1, 6);
    ASSERT_EQ(host.cycles(), 1u) << sim.stderr_text();
    host.run_until([&] { return sim.stats()[fault] >= 1; }, 8);
    ASSERT_EQ(sim.stats()[fault], 1u) << "the fault was not applied";
    // (The counters come every second, so the cycle may be done already.)
    const auto t0 = Clock::now();
    host.run_until([&] { return host.cycles() >= 2; }, kBudget);
    EXPECT_GE(host.cycles(), 2u) << "no cycle within " << kBudget << " s after the fault";
    EXPECT_LT(seconds_since(t0), kBudget);
    const auto snaps = host.last_cycle();
    ASSERT_EQ(snaps.size(), 5u);
    for (const auto& [snap, at, v] : {std::tuple{0, 4, 10.25f}, {0, 32, 221.5f}, {1, 4, 3.5f}, {2, 4, 48.25f},
                                      {3, 8, 13.5f}, {4, 45, 11.0f}, {4, 98, 12.0f}, {4, 151, 13.0f}})
        EXPECT_EQ(le_float(snaps[snap].bytes, at), v) << snap << "@" << at;
    out.counters = host.counters();
    for (const auto& l : host.ctl->logs) out.logs += l + "\n";
    EXPECT_EQ(sim.stop(), 0);
    out.stats = sim.stats();
}

}  // namespace

TEST(FaultsEndToEnd, EachFaultKindIsSurvivedWithinOneRetryPeriod) {
    const std::vector<std::pair<std::string, int>> cases{
        {"silence", 1}, {"bad_chksum", 2}, {"bad_lchksum", 3}, {"garbage", 4},        {"split", 5},      {"double", 1},
        {"error_rtn", 1}, {"wrong_cid1", 2}, {"count_mismatch", 1}, {"short_info", 3}, {"late", 4}};
    std::map<std::string, Outcome> by;
    for (const auto& c : cases) by[c.first];
    // Every simulator is started before any host thread runs: a fork while
    // other threads run can hang in the child under qemu-user.
    std::vector<std::unique_ptr<TempFile>> files;
    std::vector<std::unique_ptr<SimProcess>> sims;
    for (const auto& [fault, answer] : cases) {
        files.push_back(std::make_unique<TempFile>(scenario_with(fault, answer)));
        sims.push_back(std::make_unique<SimProcess>(std::vector<std::string>{"--scenario", files.back()->path, "--stats", "1"}));
    }
    std::vector<std::thread> runs;
    for (size_t i = 0; i < cases.size(); ++i)
        runs.emplace_back(live_through, cases[i].first, std::ref(*sims[i]), std::ref(by[cases[i].first]));
    for (auto& t : runs) t.join();
    // Each went where it should on the host's side ...
    EXPECT_GE(by["silence"].counters.retransmits, 1u);
    EXPECT_GE(by["late"].counters.retransmits, 1u);
    EXPECT_GE(by["bad_chksum"].counters.rejected, 1u);
    EXPECT_GE(by["bad_lchksum"].counters.rejected, 1u);
    EXPECT_GE(by["error_rtn"].counters.error_answers, 1u);
    EXPECT_NE(by["count_mismatch"].logs.find("read ac_number is 3, configured ac_number is 2"), std::string::npos);
    EXPECT_NE(by["short_info"].logs.find("read 42_41 read overflow"), std::string::npos);
    for (const char* whole : {"garbage", "split", "double"})
        EXPECT_EQ(by[whole].counters.rejected + by[whole].counters.error_answers, 0u) << whole;
    // ... and nothing else was spoiled.
    for (auto& [fault, o] : by) {
        uint64_t spoiled = 0;
        for (const auto& c : cases) spoiled += o.stats[c.first];
        EXPECT_EQ(spoiled, 1u) << fault;
    }
}

TEST(FaultsEndToEnd, ControllerRestartAndModuleCountChange) {
    TempFile file("{" + kSite + R"(, "timeline": [{"at_cycle": 2, "restart": 1.0}, {"at_cycle": 4, "modules": 4}]})");
    SimProcess sim({"--scenario", file.path});
    Host host(settings_for(2, 2), sim.pty);
    host.run_cycles(1, 5);
    // Silent for a second: the host gives up, and the next cycle reads everything again.
    host.run_cycles(1, kBudget + 1.0);
    EXPECT_EQ(host.cycles(), 2u);
    EXPECT_GE(host.counters().give_ups, 1u);
    host.run_cycles(1, 6);
    EXPECT_EQ(host.cycles(), 3u);
    // Then four modules. The rectifier unit keeps the count it learnt first
    // and refuses every answer with another: no cycle completes any more,
    // while the host keeps asking.
    host.run_cycles(1, 5);
    EXPECT_EQ(host.cycles(), 3u);
    EXPECT_EQ(sim.stop(), 0);
    const auto st = sim.stats();
    EXPECT_EQ(st.at("restarts"), 1u);
    EXPECT_GE(st.at("restart_silent"), 1u);
    EXPECT_GE(st.at("cycles"), 5u);
}
