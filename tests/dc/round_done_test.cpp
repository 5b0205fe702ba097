#include <gtest/gtest.h>

#include "tests/dc/dc_support.h"

namespace {

using namespace dc_test;

std::vector<rule_value> run_cycle(Rig& r) {
    r.dc->RoundDone();
    EXPECT_EQ(r.ctl->RunQueuedWork(), 1u);
    return r.ctl->batches.back().rules;
}

TEST(DCRoundDone, PublishesTheStampedRecordAndChecksVoltageAndBatteryFuses) {
    Rig r(42);
    r.parse41(portion41(47.0f, 9.0f, {}, {}, {}));
    r.parse44(portion44(1, {3, 0}, Bytes(71, 0)));
    const auto rules = run_cycle(r);

    ASSERT_EQ(r.ctl->snapshots.size(), 1u);
    const auto& snap = r.ctl->snapshots[0];
    EXPECT_EQ(snap.type, 5090);
    EXPECT_FALSE(snap.flag);
    ASSERT_EQ(snap.bytes.size(), 186u);
    EXPECT_EQ(std::memcmp(snap.bytes.data() + 179, get_ttime(r.dc->last_update).data(), 7), 0);
    EXPECT_EQ(r.dc->last_v, 47.0f);
    EXPECT_EQ(r.dc->last_i, 9.0f);

    ASSERT_EQ(rules.size(), 4u + 55u);
    const char* keys[] = {"DC_0", "DC_1", "DC_3", "DC_3"};
    const int states[] = {1, 0, 1, 0};
    for (int k = 0; k < 4; ++k) {
        EXPECT_EQ(rules[k].key, keys[k]);
        EXPECT_EQ(rules[k].seq, k + 1u);
        EXPECT_EQ(rules[k].state, states[k]) << k;
    }
    EXPECT_EQ(rules[0].code, "06008");
    EXPECT_EQ(rules[1].detail, "输出电压过高告警");
    EXPECT_EQ(rules[2].detail, "直流1电池熔丝故障告警");
    EXPECT_EQ(rules[3].detail, "直流2电池熔丝故障告警");
    EXPECT_EQ(rules[3].level, 1);
    EXPECT_EQ(rules[4].key, "M520S_DC_0");
    EXPECT_EQ(rules[4].seq, 5u);

    r.parse44(portion44(2, {3}, Bytes(71, 0)));
    const auto next = run_cycle(r);
    ASSERT_EQ(next.size(), 2u + 55u);
    EXPECT_EQ(next[0].state, 0);
    EXPECT_EQ(next[1].state, 1);
    EXPECT_EQ(next[2].key, "M520S_DC_0");
    EXPECT_EQ(next[2].seq, 3u);
}

TEST(DCRoundDone, WorkItemKeepsTheUnitAndSavesTheRecordAsItStandsWhenRun) {
    Rig r(42);
    r.dc->RoundDone();
    const size_t made = 2;  // alert_m and alert_p are 0: only DC_0 and DC_1
    EXPECT_TRUE(r.dc->pending_rules.empty());
    EXPECT_GE(r.dc->pending_rules.capacity(), made);

    r.parse41(portion41(50.0f, 1.0f, {}, {}, {}));  // lands after the cycle
    std::weak_ptr<TestDC> weak = r.dc;
    SMDVDevice* raw = r.dc.get();
    r.dc.reset();
    EXPECT_FALSE(weak.expired());
    EXPECT_EQ(r.ctl->RunQueuedWork(), 1u);
    EXPECT_TRUE(weak.expired());

    ASSERT_EQ(r.ctl->batches.size(), 1u);
    EXPECT_EQ(r.ctl->batches[0].device, raw);
    EXPECT_EQ(r.ctl->batches[0].rules.size(), made);
    ASSERT_EQ(r.ctl->histories.size(), 1u);
    ASSERT_EQ(r.ctl->histories[0].bytes.size(), 186u);
    EXPECT_EQ(as_float(r.ctl->histories[0].bytes.data() + 4), 50.0f);
}

TEST(DCRoundDone, BatchResultIsOredAndTheBatchAlwaysEvaluated) {
    Rig r;
    r.dc->batch_result = true;
    r.ctl->evaluate_result = false;
    run_cycle(r);
    EXPECT_TRUE(r.dc->batch_result);
    EXPECT_EQ(r.ctl->batches.size(), 1u);
}

}  // namespace
