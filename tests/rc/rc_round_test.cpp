// End of a polling cycle: snapshot, module fault and status checks with
// their sequence numbers, and the deferred alarm work item.

#include <gtest/gtest.h>

#include "tests/rc/rc_support.h"

using namespace rc_test;

namespace {

// Four modules: module 2 faulted, module 3 reports only seven alarm states.
void four_modules(TestRC& u) {
    std::vector<Module41> mods;
    for (int i = 0; i < 4; ++i) mods.push_back({float(i + 1), seven_values(float(i))});
    ASSERT_EQ(p41_41(u, info41_41(48.0f, mods)), 6 + 4 * 33);
    const Bytes info = info41_44({{0, {1, 0, 0, 1, 0, 0, 0, 0}},
                                  {1, {0, 1, 0, 0xE2, 0, 1, 0, 0}},
                                  {0, Bytes(7, 1)},
                                  {1, {0xE2, 0, 1, 0, 1, 0, 1, 1}}});
    ASSERT_EQ(p41_44(u, info), static_cast<int>(info.size()));
}

}  // namespace

TEST(RcRound, ModuleFaultChecksComeFirstThenStatusRowsAndADroppedModuleClosesUp) {
    Fixture f;
    four_modules(*f.rc);
    f.rc->RoundDone();

    const auto& r = f.rc->pending_rules;
    ASSERT_TRUE(r.empty());
    ASSERT_EQ(f.ctl->RunQueuedWork(), 1u);
    ASSERT_EQ(f.ctl->batches.size(), 1u);
    const auto& rules = f.ctl->batches[0].rules;
    ASSERT_EQ(rules.size(), 4u + 3 * 8);

    for (uint32_t i = 0; i < 4; ++i) {
        const rule_value& v = rules[i];
        EXPECT_EQ(v.key, "RC_0");
        EXPECT_EQ(v.code, "06024");
        EXPECT_EQ(v.level, 2);
        EXPECT_EQ(v.name, "整流模块故障告警");
        EXPECT_EQ(v.detail, "模块" + std::to_string(i + 1) + "整流模块故障告警");
        EXPECT_EQ(v.seq, i + 1);
        EXPECT_EQ(v.table_id, 0u);
    }
    // Only a fault byte of 1 is a fault; module 3's count of 7 does not matter here.
    EXPECT_EQ(rules[0].state, 0);
    EXPECT_EQ(rules[1].state, 1);
    EXPECT_EQ(rules[2].state, 0);
    EXPECT_EQ(rules[3].state, 1);

    // Status rows of modules 1, 2 and 4, numbered 5 to 28 without a gap.
    const int modules[] = {1, 2, 4};
    for (int m = 0; m < 3; ++m)
        for (int row = 0; row < 8; ++row) {
            const rule_value& v = rules[4 + m * 8 + row];
            EXPECT_EQ(v.seq, static_cast<uint32_t>(5 + m * 8 + row));
            EXPECT_EQ(v.key, "M520S_RC_" + std::to_string(row));
            const std::string n = std::to_string(modules[m]);
            EXPECT_NE(v.detail.find(n), std::string::npos) << v.detail;
        }
    EXPECT_EQ(f.rc->check_seq, 29);
}

TEST(RcRound, StatusRowsCarryTheirTextsAndOnlyTheirAlarmValueRaisesThem) {
    Fixture f;
    four_modules(*f.rc);
    f.rc->RoundDone();
    f.ctl->RunQueuedWork();
    const auto& rules = f.ctl->batches.at(0).rules;
    auto row = [&](int module_index, int r) -> const rule_value& {
        return rules.at(4 + module_index * 8 + r);
    };

    struct Expect {
        const char* code;
        int level;
        const char* name;
        const char* detail_of_module_2;
    };
    const Expect rows[8] = {
        {"06024", 3, "整流模块告警", "整流模块2故障告警"},
        {"06025", 4, "整流模块告警", "整流模块2风扇故障"},
        {"06027", 3, "整流模块告警", "整流模块2温度过高告警"},
        {"06028", 4, "整流模块告警", "整流模块2通信状态告警"},
        {"06029", 3, "其他告警", "整流模块2模块限功率"},
        {"06016", 2, "整流模块告警", "交流输入2停电告警"},
        {"06029", 4, "其他告警", "整流模块2模块不均流"},
        {"06026", 1, "整流模块告警", "整流模块2过压关机告警"},
    };
    for (int r = 0; r < 8; ++r) {
        EXPECT_EQ(row(1, r).code, rows[r].code) << r;
        EXPECT_EQ(row(1, r).level, rows[r].level) << r;
        EXPECT_EQ(row(1, r).name, rows[r].name) << r;
        EXPECT_EQ(row(1, r).detail, rows[r].detail_of_module_2) << r;
        EXPECT_EQ(row(1, r).table_id, 0u);
    }

    // Module 1 states {1,0,0,1,...}: row 0 raised; byte 3 = 1 does not raise row 3.
    EXPECT_EQ(row(0, 0).state, 1);
    EXPECT_EQ(row(0, 3).state, 0);
    // Module 2 states {0,1,0,0xE2,0,1,0,0}: rows 1, 3 and 5.
    const uint8_t m2[8] = {0, 1, 0, 1, 0, 1, 0, 0};
    for (int r = 0; r < 8; ++r) EXPECT_EQ(row(1, r).state, m2[r]) << r;
    // Module 4 states {0xE2,0,1,0,1,0,1,1}: byte 0 = 0xE2 does not raise row 0.
    const uint8_t m4[8] = {0, 0, 1, 0, 1, 0, 1, 1};
    for (int r = 0; r < 8; ++r) EXPECT_EQ(row(2, r).state, m4[r]) << r;
    EXPECT_EQ(row(2, 0).detail, "整流模块4故障告警");
}

TEST(RcRound, SnapshotIsGroupRecordThenModulesAndStartsWithTheId) {
    Fixture f;
    four_modules(*f.rc);
    const auto before = boost::posix_time::second_clock::local_time();
    f.rc->RoundDone();

    ASSERT_EQ(f.ctl->snapshots.size(), 1u);
    const auto& s = f.ctl->snapshots[0];
    EXPECT_EQ(s.device, f.rc.get());
    EXPECT_EQ(s.type, 5089);
    EXPECT_FALSE(s.flag);
    ASSERT_EQ(s.bytes.size(), 45u + 53 * 4);
    EXPECT_EQ(f.rc->snapshot_len, 45u + 53 * 4);
    EXPECT_EQ(Bytes(s.bytes.begin(), s.bytes.begin() + 4), (Bytes{77, 0, 0, 0}));
    EXPECT_EQ(Bytes(s.bytes.begin(), s.bytes.begin() + 45), bytes_of(&f.rc->tele, 45));
    EXPECT_EQ(Bytes(s.bytes.begin() + 45, s.bytes.end()), bytes_of(f.rc->channels.data(), 53 * 4));
    EXPECT_EQ(s.bytes[37], 4);  // module count
    EXPECT_EQ(s.bytes[45 + 53 + 43], 1);  // module 2 fault byte

    // Time stamp: year high byte first, then month and day of now.
    const unsigned year = static_cast<unsigned>(before.date().year());
    EXPECT_EQ(s.bytes[38], year >> 8);
    EXPECT_EQ(s.bytes[39], year & 0xFF);
    EXPECT_EQ(s.bytes[40], before.date().month().as_number());
    EXPECT_EQ(f.rc->data_valid, 1);
    EXPECT_GE(f.rc->last_update, before);
}

TEST(RcRound, NoModulesMeansNoChecksAndAGroupOnlySnapshot) {
    Fixture f;
    f.rc->RoundDone();
    ASSERT_EQ(f.ctl->snapshots.size(), 1u);
    EXPECT_EQ(f.ctl->snapshots[0].bytes.size(), 45u);
    EXPECT_EQ(f.rc->check_seq, 1);
    f.ctl->RunQueuedWork();
    ASSERT_EQ(f.ctl->batches.size(), 1u);
    EXPECT_TRUE(f.ctl->batches[0].rules.empty());

    // The count arrives later: the next snapshot grows with it.
    ASSERT_EQ(p41_41(*f.rc, info41_41(1, {{1, seven_values(1)}, {2, seven_values(2)}})), 72);
    f.rc->RoundDone();
    ASSERT_EQ(f.ctl->snapshots.size(), 2u);
    EXPECT_EQ(f.ctl->snapshots[1].bytes.size(), 45u + 2 * 53);
    EXPECT_EQ(f.rc->check_seq, 3);  // two fault checks, no status rows (count 0)
}

TEST(RcRound, WorkItemKeepsTheUnitAliveAndSavesTheSnapshotAsItStandsWhenRun) {
    Fixture f;
    four_modules(*f.rc);
    f.rc->RoundDone();
    const size_t n = 4 + 3 * 8;
    EXPECT_TRUE(f.rc->pending_rules.empty());
    EXPECT_GE(f.rc->pending_rules.capacity(), n);

    // A second cycle with a new group value before the host runs the items.
    std::vector<Module41> mods;
    for (int i = 0; i < 4; ++i) mods.push_back({float(i + 1), seven_values(float(i))});
    ASSERT_EQ(p41_41(*f.rc, info41_41(99.0f, mods)), 6 + 4 * 33);
    f.rc->RoundDone();
    const Bytes latest = f.ctl->snapshots.back().bytes;
    ASSERT_EQ(f.ctl->QueuedWork(), 2u);

    std::weak_ptr<TestRC> weak = f.rc;
    f.rc.reset();
    ASSERT_FALSE(weak.expired());

    f.ctl->evaluate_result = true;
    ASSERT_EQ(f.ctl->RunQueuedWork(), 2u);
    EXPECT_TRUE(weak.expired());
    ASSERT_EQ(f.ctl->batches.size(), 2u);
    EXPECT_EQ(f.ctl->batches[0].rules.size(), n);
    EXPECT_EQ(f.ctl->batches[1].rules.size(), n);
    ASSERT_EQ(f.ctl->histories.size(), 2u);
    EXPECT_EQ(f.ctl->histories[0].bytes, latest);
    EXPECT_EQ(f.ctl->histories[1].bytes, latest);
}

TEST(RcRound, BatchResultIsOredAndTheBatchIsEvaluatedEvenWhenAlreadyTrue) {
    Fixture f;
    four_modules(*f.rc);
    f.ctl->evaluate_result = false;
    f.rc->RoundDone();
    f.ctl->RunQueuedWork();
    EXPECT_FALSE(f.rc->batch_result);

    f.ctl->evaluate_result = true;
    f.rc->RoundDone();
    f.ctl->RunQueuedWork();
    EXPECT_TRUE(f.rc->batch_result);

    f.ctl->evaluate_result = false;
    f.rc->RoundDone();
    f.ctl->RunQueuedWork();
    EXPECT_TRUE(f.rc->batch_result);
    EXPECT_EQ(f.ctl->batches.size(), 3u);
}
