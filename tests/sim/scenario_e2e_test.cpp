// Scenario files as a host sees them: exact values, alarm states set and
// cleared by the time line, the file re-read on SIGHUP, and site shapes that
// disagree with the settings.

#include <gtest/gtest.h>

#include <array>

#include "tests/sim/sim_harness.h"

using namespace sim_test;

namespace {

const char* kSite = R"({
  "comment": "one AC panel with a single channel, one DC panel, three modules",
  "ac": [{"channels": [{"a": 221.5, "b": 222.5, "c": 223.5, "f": 49.5}], "ia": 10.25, "ib": 0, "ic": 1.5},
         {"channels": 2}],
  "dc": [{"v": 48.25, "i": 12.5, "user_p": [{"raw": "20202020"}, 7.5], "alert_m_state": [0, 3]}],
  "rectifier": {"modules": [{"module_value": 11}, {"module_value": 12, "fault_state": 1}, {}]},
  "timeline": [
    {"at_cycle": 2, "set": {"ac[0].channels[0].b_state": 2, "rectifier.modules[0].p41_44_state[3]": 226,
                            "dc[0].alert_p_state[9]": 228, "dc[0].v": 47.0}},
    {"at_cycle": 3, "set": {"ac[0].channels[0].b_state": 0, "rectifier.modules[0].p41_44_state[3]": 0,
                            "dc[0].alert_p_state[9]": 0}}
  ]
})";

}  // namespace

TEST(ScenarioEndToEnd, ValuesArriveAsWrittenAndTheTimeLineRaisesAndClearsAlarms) {
    TempFile file(kSite);
    SimProcess sim({"--scenario", file.path, "--stats", "1"});
    Host host(settings_for(2, 1), sim.pty);
    // (unit: 0, 1 AC panels, 2 DC panel, 3 rectifier group; key; detail; state in cycles 1, 2, 3)
    const std::tuple<size_t, const char*, const char*, std::array<int, 3>> rules[] = {
        {0, "AC_5", "交流屏1输入线/相电压BC/B", {0, 1, 0}}, {3, "M520S_RC_3", "整流模块1通信状态告警", {0, 1, 0}},
        {2, "M520S_DC_9", "二次下电", {0, 1, 0}},          {3, "RC_0", "模块2整流模块故障告警", {1, 1, 1}},
        {3, "RC_0", "模块1整流模块故障告警", {0, 0, 0}},     {2, "DC_3", "直流2电池熔丝故障告警", {1, 1, 1}}};
    for (int cycle = 0; cycle < 3; ++cycle) {
        if (cycle == 2) {
            // Re-read with another current: the change of cycle 2, already
            // past, applies at once; the one of cycle 3 still comes.
            const std::string old = "\"i\": 12.5";
            std::string text = kSite;
            file.write(text.replace(text.find(old), old.size(), "\"i\": 30.0"));
            sim.signal(SIGHUP);
            const auto t0 = Clock::now();
            while (sim.stderr_text().find("re-read") == std::string::npos && seconds_since(t0) < 5) usleep(20000);
        }
        host.run_cycles(1, 15);
        ASSERT_EQ(host.cycles(), static_cast<size_t>(cycle + 1)) << sim.stderr_text();
        for (const auto& [unit, key, detail, states] : rules) {
            const rule_value* r = host.rule(unit, key, detail);
            ASSERT_NE(r, nullptr) << key << " " << detail;
            EXPECT_EQ(r->state, states[cycle]) << key << " " << detail << " in cycle " << cycle + 1;
        }
        EXPECT_EQ(host.units[2]->Get_Value(0, "v"), cycle == 0 ? 48.25f : 47.0f);
        EXPECT_EQ(host.units[2]->Get_Value(0, "i"), cycle == 2 ? 30.0f : 12.5f);
    }
    // SIGINT stops it cleanly; counters came every half second, and at the end.
    sim.signal(SIGINT);
    EXPECT_EQ(sim.stop(), 0);
    const std::string err = sim.stderr_text();
    EXPECT_GE(std::count(err.begin(), err.end(), '\n'), 5);
    EXPECT_EQ(sim.stats().at("cycles"), 3u);
    const auto snaps = host.last_cycle();
    ASSERT_EQ(snaps.size(), 4u);
    EXPECT_EQ(snaps[0].bytes.size(), 32u + 30);
    EXPECT_EQ(snaps[1].bytes.size(), 32u + 2 * 30);
    EXPECT_EQ(snaps[3].bytes.size(), 45u + 3 * 53);
    EXPECT_EQ(snaps[2].bytes[22], 2);  // p_count
    // (snapshot, offset, value): AC ia ib ic a b c f, DC i (re-read) and user values
    // (the raw "no value" pattern stored as -0.1), module values.
    const std::tuple<int, size_t, float> values[] = {
        {0, 4, 10.25f}, {0, 8, 0.0f},   {0, 12, 1.5f},  {0, 32, 221.5f},  {0, 36, 222.5f},      {0, 40, 223.5f},
        {0, 44, 49.5f}, {2, 8, 30.0f},  {2, 23, -0.1f}, {2, 27, 7.5f},    {3, 45, 11.0f},       {3, 45 + 53, 12.0f}};
    for (const auto& [snap, at, v] : values) EXPECT_EQ(le_float(snaps[snap].bytes, at), v) << snap << "@" << at;
    EXPECT_TRUE(host.ctl->logs.empty()) << host.ctl->logs.front();
}

TEST(ScenarioEndToEnd, UnitCountsThatDisagreeWithTheSettingsGiveTheDriversCountLines) {
    // Without AC panels configured the DC answer is reached, and its count refused.
    const std::tuple<const char*, int, const char*> cases[] = {
        {R"({"ac": 3, "dc": 3})", 2, "PMBusPower:ProcotolError 100 read ac_number is 3, configured ac_number is 2"},
        {R"({"ac": 0, "dc": 3})", 0, "PMBusPower:ProcotolError 100 read dc_number is 3, configured dc_number is 2"}};
    for (const auto& [scenario, ac, line] : cases) {
        TempFile file(scenario);
        SimProcess sim({"--scenario", file.path});
        Host host(settings_for(ac, 2), sim.pty);
        host.run_until([&] { return host.ctl->logged(line); }, 5);
        EXPECT_TRUE(host.ctl->logged(line)) << (host.ctl->logs.empty() ? std::string("no log") : host.ctl->logs.front());
        EXPECT_EQ(host.cycles(), 0u);
    }
}
