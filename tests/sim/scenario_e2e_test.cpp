// Scenario files as a host sees them: exact values, alarm states set and
// cleared by the time line, and site shapes that disagree with the settings.

#include <gtest/gtest.h>

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
    SimProcess sim({"--scenario", file.path});
    Host host(settings_for(2, 1), sim.pty);
    // unit indexes: 0, 1 AC panels; 2 DC panel; 3 rectifier group
    const std::string ac_high = "交流屏1输入线/相电压BC/B";
    const std::string rc_comm = "整流模块1通信状态告警";
    const bool expected[3] = {false, true, false};
    for (int cycle = 0; cycle < 3; ++cycle) {
        SCOPED_TRACE("cycle " + std::to_string(cycle + 1));
        host.run_cycles(1, 15);
        ASSERT_EQ(host.cycles(), static_cast<size_t>(cycle + 1)) << sim.stderr_text();
        const auto* ac5 = host.rule(0, "AC_5", ac_high);
        const auto* rc3 = host.rule(3, "M520S_RC_3", rc_comm);
        const auto* dc9 = host.rule(2, "M520S_DC_9", "二次下电");
        ASSERT_TRUE(ac5 && rc3 && dc9);
        EXPECT_EQ(ac5->state, expected[cycle]);
        EXPECT_EQ(rc3->state, expected[cycle]);
        EXPECT_EQ(dc9->state, expected[cycle]);
        // What stays the same every cycle.
        EXPECT_EQ(host.rule(3, "RC_0", "模块2整流模块故障告警")->state, 1);
        EXPECT_EQ(host.rule(3, "RC_0", "模块1整流模块故障告警")->state, 0);
        EXPECT_EQ(host.rule(2, "DC_3", "直流2电池熔丝故障告警")->state, 1);
        EXPECT_EQ(host.units[2]->Get_Value(0, "v"), cycle == 0 ? 48.25f : 47.0f);
    }
    const auto snaps = host.last_cycle();
    ASSERT_EQ(snaps.size(), 4u);
    const auto& ac = snaps[0].bytes;
    ASSERT_EQ(ac.size(), 32u + 30);
    EXPECT_EQ(le_float(ac, 4), 10.25f);
    EXPECT_EQ(le_float(ac, 8), 0.0f);
    EXPECT_EQ(le_float(ac, 12), 1.5f);
    EXPECT_EQ(le_float(ac, 32), 221.5f);
    EXPECT_EQ(le_float(ac, 36), 222.5f);
    EXPECT_EQ(le_float(ac, 40), 223.5f);
    EXPECT_EQ(le_float(ac, 44), 49.5f);
    EXPECT_EQ(snaps[1].bytes.size(), 32u + 2 * 30);
    const auto& dc = snaps[2].bytes;
    EXPECT_EQ(le_float(dc, 8), 12.5f);
    EXPECT_EQ(dc[22], 2);                      // p_count
    EXPECT_EQ(le_float(dc, 23), -0.1f);        // the raw "no value" pattern
    EXPECT_EQ(le_float(dc, 27), 7.5f);
    const auto& rc = snaps[3].bytes;
    ASSERT_EQ(rc.size(), 45u + 3 * 53);
    EXPECT_EQ(le_float(rc, 45), 11.0f);
    EXPECT_EQ(le_float(rc, 45 + 53), 12.0f);
    EXPECT_TRUE(host.ctl->logs.empty()) << host.ctl->logs.front();
}

TEST(ScenarioEndToEnd, UnitCountsThatDisagreeWithTheSettingsGiveTheDriversCountLines) {
    TempFile file(R"({"ac": 3, "dc": 3})");
    SimProcess sim({"--scenario", file.path});
    Host host(settings_for(2, 2), sim.pty);
    const std::string ac_line = "PMBusPower:ProcotolError 100 read ac_number is 3, configured ac_number is 2";
    host.run_until([&] { return host.ctl->logged(ac_line); }, 5);
    EXPECT_TRUE(host.ctl->logged(ac_line))
        << (host.ctl->logs.empty() ? std::string("no log") : host.ctl->logs.front());
    EXPECT_EQ(host.cycles(), 0u);
    // Without AC panels configured the DC answer is reached, and its count refused.
    TempFile dc_only(R"({"ac": 0, "dc": 3})");
    SimProcess sim2({"--scenario", dc_only.path});
    Host host2(settings_for(0, 2), sim2.pty);
    const std::string dc_line = "PMBusPower:ProcotolError 100 read dc_number is 3, configured dc_number is 2";
    host2.run_until([&] { return host2.ctl->logged(dc_line); }, 5);
    EXPECT_TRUE(host2.ctl->logged(dc_line))
        << (host2.ctl->logs.empty() ? std::string("no log") : host2.ctl->logs.front());
}
