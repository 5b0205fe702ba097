#include <gtest/gtest.h>

#include <string>

#include "tests/dc/dc_support.h"

namespace {

using namespace dc_test;

// The constant each equality row alarms on; 0 marks the four map rows.
constexpr uint8_t kAlarmOn[55] = {
    3,   3,   3,   3,   0,   0,   228, 228, 227, 228, 225, 225, 225, 225, 226, 0,   0,   240, 229,
    230, 231, 232, 233, 234, 234, 234, 234, 234, 234, 234, 234, 235, 235, 3,   3,   3,   3,   3,
    3,   3,   3,   3,   3,   3,   3,   3,   3,   3,   3,   3,   3,   227, 227, 235, 235};

std::vector<rule_value> run_table(TestDC& dc, uint16_t start = 1) {
    dc.pending_rules.clear();
    dc.check_seq = start;
    dc.DoImpCheckAlert();
    return dc.pending_rules;
}

TEST(M520SDCTable, RunsOnlyOnACompleteStateList) {
    Rig r;
    for (size_t p : {70u, 72u}) {
        r.parse44(portion44(0, {}, Bytes(p, 3)));
        EXPECT_TRUE(run_table(*r.dc, 9).empty()) << p;
        EXPECT_EQ(r.dc->check_seq, 9) << p;
    }
    r.parse44(portion44(0, {}, Bytes(71, 0)));
    const auto rules = run_table(*r.dc, 5);
    ASSERT_EQ(rules.size(), 55u);
    EXPECT_EQ(rules.front().seq, 5u);
    EXPECT_EQ(rules.back().seq, 59u);
    EXPECT_EQ(r.dc->check_seq, 60);
    for (size_t k = 0; k < 55; ++k) {
        EXPECT_EQ(rules[k].key, "M520S_DC_" + std::to_string(k));
        EXPECT_EQ(rules[k].level, 1);
        EXPECT_EQ(rules[k].state, 0) << k;
        EXPECT_EQ(rules[k].table_id != 0, kAlarmOn[k] == 0) << k;
    }
}

// Each equality row is true on its own constant and on nothing else; state
// bytes 55 to 70 never matter.
TEST(M520SDCTable, EachRowAlarmsOnItsOwnStateAndConstant) {
    Rig r;
    const std::vector<uint8_t> probes = {1, 2, 3, 225, 226, 227, 228, 229, 230, 231, 232, 233, 234, 235, 240, 255};
    for (uint8_t value : probes) {
        r.parse44(portion44(0, {}, Bytes(71, value)));
        const auto rules = run_table(*r.dc);
        ASSERT_EQ(rules.size(), 55u);
        for (size_t k = 0; k < 55; ++k) {
            if (kAlarmOn[k] == 0)
                EXPECT_EQ(rules[k].state, value) << k;  // map rows pass the raw state
            else
                EXPECT_EQ(rules[k].state, value == kAlarmOn[k] ? 1 : 0) << k << " on " << int(value);
        }
    }
    Bytes states(71, 0);
    states[0] = 3;
    for (size_t k = 55; k < 71; ++k) states[k] = 3;
    r.parse44(portion44(0, {}, states));
    const auto rules = run_table(*r.dc);
    for (size_t k = 0; k < 55; ++k) EXPECT_EQ(rules[k].state, k == 0 ? 1 : 0) << k;
}

TEST(M520SDCTable, MapRowsNameTheirStatesWithSharedTables) {
    Rig a, b;
    Bytes states(71, 0);
    states[4] = 2;
    states[15] = 1;
    states[16] = 2;
    a.parse44(portion44(0, {}, states));
    b.parse44(portion44(0, {}, states));
    const auto ra = run_table(*a.dc);
    const auto rb = run_table(*b.dc);
    const host::StateTable* over = host::state_table(ra[4].table_id);
    const host::StateTable* volt = host::state_table(ra[15].table_id);
    ASSERT_TRUE(over && volt);
    EXPECT_EQ(*over, (host::StateTable{{0, "正常"}, {2, ""}}));
    EXPECT_EQ(*volt, (host::StateTable{{0, "正常"}, {1, "欠压"}, {2, "过压"}}));
    EXPECT_EQ(ra[5].table_id, ra[4].table_id);
    EXPECT_EQ(ra[16].table_id, ra[15].table_id);
    EXPECT_EQ(rb[4].table_id, ra[4].table_id);  // one table for every unit
    EXPECT_EQ(ra[4].state, 2);
    EXPECT_EQ(ra[16].state, 2);
    EXPECT_EQ(ra[5].detail, "电池2充电过流告警");
    EXPECT_EQ(ra[5].code, "06002");
    EXPECT_EQ(ra[5].name, "电池告警");
}

TEST(M520SDCTable, RowTextsAndDeviceType) {
    Rig r;
    r.parse44(portion44(0, {}, Bytes(71, 0)));
    const auto rules = run_table(*r.dc);
    EXPECT_EQ(rules[0].code, "06007");
    EXPECT_EQ(rules[0].name, "负载熔丝故障告警");
    EXPECT_EQ(rules[0].detail, "负载1熔丝故障告警");
    EXPECT_EQ(rules[9].detail, "二次下电");
    EXPECT_EQ(rules[14].code, "06011");
    EXPECT_EQ(rules[19].code, "06004");
    EXPECT_EQ(rules[33].name, "电池告警");
    EXPECT_EQ(rules[54].detail, "扩展2路LVD2回采告警状态");
    EXPECT_EQ(r.dc->DeviceType(), "m520s-dc");
    TestDC named("M520S");
    EXPECT_EQ(named.DeviceType(), "m520s-dc");
    EXPECT_EQ(named.model, "M520S");
}

}  // namespace
