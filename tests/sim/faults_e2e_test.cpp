// Every fault the simulator injects, as the host lives through it. Each kind
// gets a simulator and a host of its own, all at once: a clean first cycle,
// the fault on one answer of the second, and then a completed cycle within
// one retry period, with none of the spoiled bytes taken for data.

#include <gtest/gtest.h>

#include <thread>

#include "tests/sim/sim_harness.h"

using namespace sim_test;

namespace {

// Constant values, so a spoiled answer taken for data would show.
const char* kSite = R"(
  "ac": [{"channels": [{"a": 221.5}], "ia": 10.25}, {"channels": 1, "ia": 3.5}],
  "dc": [{"v": 48.25, "i": 12.5}, {"v": 48.5, "i": 13.5}],
  "rectifier": {"modules": [{"module_value": 11}, {"module_value": 12}, {"module_value": 13}]},
  "fault_options": {"late_ms": 700, "split_gap_ms": 40})";

struct Case {
    const char* fault;
    int answer;  // of the five a cycle with valid data and no changes asks for:
                 // 40/41, 41/41, 42/41, 40/46, 42/46
};

struct Outcome {
    PMBusProtocol::Counters counters;
    std::vector<std::string> logs;
    std::map<std::string, uint64_t> stats;
};

void live_through(const Case& c, Outcome& out) {
    SCOPED_TRACE(std::string("fault ") + c.fault);
    TempFile file("{" + std::string(kSite) + ", \"timeline\": [{\"at_cycle\": 2, \"fault\": \"" + c.fault +
                  "\", \"answer\": " + std::to_string(c.answer) + "}]}");
    SimProcess sim({"--scenario", file.path, "--stats", "0.1"});
    Host host(settings_for(2, 2), sim.pty);
    host.run_cycles(1, 6);
    ASSERT_EQ(host.cycles(), 1u) << sim.stderr_text();
    host.run_until([&] { return sim.stats()[c.fault] >= 1; }, 8);
    ASSERT_EQ(sim.stats()[c.fault], 1u) << "the fault was not applied";
    // One retry period (three tries of 400 ms, or the stall limit), the time
    // guard of 2 s between cycles, and a cycle's own time.
    const double budget = 2.4 + 2.0 + 1.6;
    const auto t0 = Clock::now();
    // (The counters come every 0.1 s, so the cycle may be done already.)
    host.run_until([&] { return host.cycles() >= 2; }, budget);
    EXPECT_GE(host.cycles(), 2u) << "no cycle within " << budget << " s after the fault";
    EXPECT_LT(seconds_since(t0), budget);
    const auto snaps = host.last_cycle();
    ASSERT_EQ(snaps.size(), 5u);
    EXPECT_EQ(le_float(snaps[0].bytes, 4), 10.25f);
    EXPECT_EQ(le_float(snaps[0].bytes, 32), 221.5f);
    EXPECT_EQ(le_float(snaps[1].bytes, 4), 3.5f);
    EXPECT_EQ(host.units[2]->Get_Value(0, "v"), 48.25f);
    EXPECT_EQ(host.units[3]->Get_Value(0, "i"), 13.5f);
    EXPECT_EQ(snaps[4].bytes[37], 3);
    for (int m = 0; m < 3; ++m) EXPECT_EQ(le_float(snaps[4].bytes, 45 + 53 * m), 11.0f + m);
    out.counters = host.counters();
    out.logs = host.ctl->logs;
    EXPECT_EQ(sim.stop(), 0);
    out.stats = sim.stats();
}

bool logged_part(const Outcome& o, const std::string& part) {
    for (const auto& l : o.logs)
        if (l.find(part) != std::string::npos) return true;
    return false;
}

}  // namespace

TEST(FaultsEndToEnd, EachFaultKindIsSurvivedWithinOneRetryPeriod) {
    const std::vector<Case> cases{{"silence", 1},    {"bad_chksum", 2}, {"bad_lchksum", 3},    {"garbage", 4},
                                  {"split", 5},      {"double", 1},     {"error_rtn", 1},      {"wrong_cid1", 2},
                                  {"count_mismatch", 1}, {"short_info", 3}, {"late", 4}};
    std::vector<Outcome> outcomes(cases.size());
    std::vector<std::thread> runs;
    for (size_t i = 0; i < cases.size(); ++i) runs.emplace_back([&, i] { live_through(cases[i], outcomes[i]); });
    for (auto& t : runs) t.join();

    std::map<std::string, const Outcome*> by;
    for (size_t i = 0; i < cases.size(); ++i) by[cases[i].fault] = &outcomes[i];
    // Each went where it should on the host's side.
    EXPECT_GE(by["silence"]->counters.retransmits, 1u);
    EXPECT_GE(by["late"]->counters.retransmits, 1u);
    EXPECT_GE(by["bad_chksum"]->counters.rejected, 1u);
    EXPECT_GE(by["bad_lchksum"]->counters.rejected, 1u);
    EXPECT_GE(by["error_rtn"]->counters.error_answers, 1u);
    EXPECT_TRUE(logged_part(*by["count_mismatch"], "read ac_number is 3, configured ac_number is 2"));
    EXPECT_TRUE(logged_part(*by["short_info"], "read 42_41 read overflow"));
    for (const char* clean : {"garbage", "split", "double"})
        EXPECT_EQ(by[clean]->counters.rejected + by[clean]->counters.error_answers, 0u) << clean;
    // And nothing else was spoiled.
    for (size_t i = 0; i < cases.size(); ++i) {
        uint64_t faults = 0;
        for (const auto& c : cases) faults += outcomes[i].stats[c.fault];
        EXPECT_EQ(faults, 1u) << cases[i].fault;
    }
}

TEST(FaultsEndToEnd, ControllerRestartAndModuleCountChange) {
    TempFile file("{" + std::string(kSite) + R"(, "timeline": [
        {"at_cycle": 2, "restart": 1.0},
        {"at_cycle": 4, "modules": 4}]})");
    SimProcess sim({"--scenario", file.path});
    Host host(settings_for(2, 2), sim.pty);
    host.run_cycles(1, 5);
    ASSERT_EQ(host.cycles(), 1u);
    // Silent for a second: the host gives up, and the next cycle reads everything again.
    host.run_cycles(1, 2.4 + 2.0 + 1.6 + 1.0);
    EXPECT_EQ(host.cycles(), 2u);
    EXPECT_GE(host.counters().give_ups, 1u);
    host.run_cycles(1, 6);
    EXPECT_EQ(host.cycles(), 3u);
    // The controller then reports four modules. The rectifier unit keeps the
    // count it learnt first and refuses every answer with another, so no
    // cycle completes any more, while the host keeps asking.
    host.run_cycles(1, 5);
    EXPECT_EQ(host.cycles(), 3u);
    EXPECT_EQ(sim.stop(), 0);
    const auto st = sim.stats();
    EXPECT_EQ(st.at("restarts"), 1u);
    EXPECT_GE(st.at("restart_silent"), 1u);
    EXPECT_GE(st.at("cycles"), 5u);
}
