// End of a polling cycle: configuration, snapshot, the unit's own alarm checks,
// the M520S status table and the hand-over of the cycle's rules.

#include <gtest/gtest.h>

#include <cmath>

#include "tests/ac/ac_support.h"

namespace ac_test {
namespace {

// Parses an analog answer with `states` per channel and an alarm answer.
void feed(TestAC& u, const std::vector<Alarm>& alarms, Bytes alerts = {0, 0, 0}) {
    CoutCapture out;
    ASSERT_EQ(parse41(u, portion41(std::vector<Analog>(alarms.size()))), 13 + 17 * static_cast<int>(alarms.size()));
    ASSERT_GT(parse44(u, portion44(static_cast<unsigned char>(alarms.size()), alarms, alerts)), 0);
}

std::vector<rule_value> cycle_rules(Rig& rig, TestAC& u) {
    rig.controller->batches.clear();
    u.RoundDone();
    rig.controller->RunQueuedWork();
    EXPECT_EQ(rig.controller->batches.size(), 1u);
    return rig.controller->batches.empty() ? std::vector<rule_value>{} : rig.controller->batches.back().rules;
}

std::vector<std::string> true_keys(const std::vector<rule_value>& rules, size_t from, size_t to) {
    std::vector<std::string> keys;
    for (size_t i = from; i < to && i < rules.size(); ++i)
        if (rules[i].state) keys.push_back(rules[i].key);
    return keys;
}

TEST(AcConfig, DataIdAndChangeThresholdsFromTheSettings) {
    Rig rig;
    Json::Value setting;
    setting["data_id"] = 31;
    setting["appSetting"]["diff_i"] = "5";
    auto u = rig.unit(31, setting);
    EXPECT_EQ(u->DeviceType(), "m520s-ac");
    EXPECT_EQ(u->DataId(), 31u);
    EXPECT_EQ((Bytes(reinterpret_cast<unsigned char*>(&u->tele), reinterpret_cast<unsigned char*>(&u->tele) + 4)),
              (Bytes{31, 0, 0, 0}));
    EXPECT_FLOAT_EQ(u->diff_i, 5.0f);
    EXPECT_FLOAT_EQ(u->diff_v, 20.0f);

    setting["appSetting"]["diff_i"] = "abc";
    setting["appSetting"]["diff_v"] = 7.5;
    u = rig.unit(31, setting);
    EXPECT_FLOAT_EQ(u->diff_i, 0.0f);
    EXPECT_FLOAT_EQ(u->diff_v, 7.5f);

    // Not an object: the values stay.
    Json::Value array_setting;
    array_setting["appSetting"].append("5");
    u = rig.unit(31, array_setting);
    EXPECT_FLOAT_EQ(u->diff_v, 20.0f);
    EXPECT_FLOAT_EQ(u->diff_i, 20.0f);
    Json::Value huge;
    huge["appSetting"]["diff_i"] = "1e300";
    huge["appSetting"]["diff_v"] = "-1e300";
    u = rig.unit(31, huge);
    EXPECT_TRUE(std::isinf(u->diff_i) && u->diff_i > 0);
    EXPECT_TRUE(std::isinf(u->diff_v) && u->diff_v < 0);
    // A value that is no text at all is refused as the DC unit refuses it:
    // the exception reaches the host, which rejects the configuration.
    for (const char* key : {"diff_v", "diff_i"}) {
        SCOPED_TRACE(key);
        Json::Value nested;
        nested["appSetting"][key]["x"] = 1;
        EXPECT_THROW(rig.unit(31, nested), Json::LogicError);
        Json::Value list;
        list["appSetting"][key].append("5");
        EXPECT_THROW(rig.unit(31, list), Json::LogicError);
    }
}

TEST(AcRoundDone, PublishesTheSnapshotOncePerCycleAndSavesItFromTheWorkItem) {
    Rig rig;
    auto u = rig.unit();
    feed(*u, {Alarm{}, Alarm{}});
    u->RoundDone();
    ASSERT_EQ(rig.controller->snapshots.size(), 1u);
    const auto& s = rig.controller->snapshots[0];
    EXPECT_EQ(s.type, 5088);
    EXPECT_FALSE(s.flag);
    ASSERT_EQ(s.bytes.size(), 92u);
    const auto* panel = reinterpret_cast<const unsigned char*>(&u->tele);
    EXPECT_EQ(Bytes(s.bytes.begin(), s.bytes.begin() + 32), Bytes(panel, panel + 32));
    const auto* ch1 = reinterpret_cast<const unsigned char*>(&u->channels[1]);
    EXPECT_EQ(Bytes(s.bytes.begin() + 62, s.bytes.end()), Bytes(ch1, ch1 + 30));
    // The stamp is the host's 7-byte local time.
    const auto now = get_ttime(boost::posix_time::second_clock::local_time());
    EXPECT_EQ(Bytes(s.bytes.begin() + 25, s.bytes.begin() + 27), Bytes(now.begin(), now.begin() + 2));
    EXPECT_EQ(u->data_valid, 1);

    EXPECT_TRUE(rig.controller->histories.empty());
    EXPECT_EQ(rig.controller->RunQueuedWork(), 1u);
    ASSERT_EQ(rig.controller->histories.size(), 1u);
    EXPECT_EQ(rig.controller->histories[0].bytes, s.bytes);
}

TEST(AcRoundDone, ChannelRulesInTableOrderWithPrefixedDetails) {
    Rig rig;
    auto u = rig.unit();
    feed(*u, {Alarm{{1, 3, 2, 0}, {}, Bytes(8, 0)}});
    const auto rules = cycle_rules(rig, *u);
    ASSERT_EQ(rules.size(), 11u + 9u + 8u);
    const char* keys[] = {"AC_0", "AC_1", "AC_2", "AC_3", "AC_4", "AC_5", "AC_6", "AC_7", "AC_8", "AC_9", "AC_10"};
    for (size_t r = 0; r < 11; ++r) {
        EXPECT_EQ(rules[r].key, keys[r]);
        EXPECT_EQ(rules[r].seq, r + 1);
        EXPECT_EQ(rules[r].table_id, 0u);
    }
    EXPECT_EQ(true_keys(rules, 0, 11), (std::vector<std::string>{"AC_0", "AC_6", "AC_9"}));

    EXPECT_EQ(rules[0].level, 3);
    EXPECT_EQ(rules[0].code, "06015");
    EXPECT_EQ(rules[0].name, "交流输入电压过低告警");
    EXPECT_EQ(rules[0].detail, "交流屏1输入线/相电压AB/A");
    EXPECT_EQ(rules[3].code, "06019");
    EXPECT_EQ(rules[3].detail, "交流屏1频率");
    EXPECT_EQ(rules[6].level, 2);
    EXPECT_EQ(rules[6].name, "交流输入电压过高告警");
    EXPECT_EQ(rules[6].detail, "交流屏1输入线/相电压CA/C");
    EXPECT_EQ(rules[7].code, "06018");
    EXPECT_EQ(rules[9].code, "06017");
    EXPECT_EQ(rules[9].name, "交流输入缺相告警");

    // Which byte each rule watches.
    u->channels[0].a_state = 0, u->channels[0].b_state = 2, u->channels[0].c_state = 3, u->channels[0].f_state = 2;
    EXPECT_EQ(true_keys(cycle_rules(rig, *u), 0, 11), (std::vector<std::string>{"AC_5", "AC_7", "AC_10"}));
    u->channels[0].a_state = 2, u->channels[0].b_state = 0, u->channels[0].c_state = 1, u->channels[0].f_state = 1;
    EXPECT_EQ(true_keys(cycle_rules(rig, *u), 0, 11), (std::vector<std::string>{"AC_2", "AC_3", "AC_4"}));
    u->channels[0].a_state = 3, u->channels[0].b_state = 1, u->channels[0].c_state = 0, u->channels[0].f_state = 3;
    EXPECT_EQ(true_keys(cycle_rules(rig, *u), 0, 11), (std::vector<std::string>{"AC_1", "AC_8"}));
}

TEST(AcRoundDone, PanelRulesCarryTheirTextAsNameAndFollowTheChannels) {
    Rig rig;
    auto u = rig.unit();
    feed(*u, {Alarm{}, Alarm{}}, {2, 0, 0});
    const auto rules = cycle_rules(rig, *u);
    ASSERT_EQ(rules.size(), 22u + 9u + 16u);
    EXPECT_EQ(rules[11].detail, "交流屏2输入线/相电压AB/A");
    EXPECT_EQ(rules[21].detail, "交流屏2输入线/相电压CA/C");
    const char* keys[] = {"AC_12", "AC_13", "AC_14", "AC_15", "AC_16", "AC_17", "AC_18", "AC_19", "AC_20"};
    for (size_t j = 0; j < 9; ++j) {
        EXPECT_EQ(rules[22 + j].key, keys[j]);
        EXPECT_EQ(rules[22 + j].seq, 23 + j);
        EXPECT_EQ(rules[22 + j].level, 3);
        EXPECT_EQ(rules[22 + j].code, "06029");
        EXPECT_EQ(rules[22 + j].detail, "其他告警");
    }
    EXPECT_EQ(rules[25].name, "A相输入电流高于上限");
    EXPECT_EQ(rules[22].name, "A相输入电流低于下限");
    EXPECT_EQ(rules[30].name, "C相输入电流缺项");
    EXPECT_EQ(true_keys(rules, 22, 31), std::vector<std::string>{"AC_15"});

    u->tele.ia_alert = 0, u->tele.ib_alert = 1, u->tele.ic_alert = 3;
    EXPECT_EQ(true_keys(cycle_rules(rig, *u), 22, 31), (std::vector<std::string>{"AC_13", "AC_20"}));
}

TEST(AcStatusTable, EightRowsPerChannelAfterThePanelRules) {
    Rig rig;
    auto u = rig.unit();
    feed(*u, {Alarm{{0, 0, 0, 0}, {}, {0x05, 0, 0, 0xE1, 0, 0, 0, 0xE2}}});
    auto rules = cycle_rules(rig, *u);
    ASSERT_EQ(rules.size(), 28u);
    for (size_t j = 0; j < 8; ++j) {
        const auto& r = rules[20 + j];
        EXPECT_EQ(r.key, "p40_44_" + std::to_string(j));
        EXPECT_EQ(r.seq, 11 * 1 + 10 + j);
        EXPECT_EQ(r.level, 1);
        EXPECT_EQ(r.code, "06001");
        EXPECT_EQ(r.name, "模块告警");
    }
    EXPECT_EQ(rules[20].detail, "第1路交流输入交流输入空开跳");
    EXPECT_EQ(rules[27].detail, "第1路交流输入交流屏通讯中断");
    EXPECT_EQ(true_keys(rules, 20, 28), (std::vector<std::string>{"p40_44_0", "p40_44_3", "p40_44_7"}));

    // Each byte has one alarm value only.
    const unsigned char all[8] = {0xE1, 0x05, 0x05, 0x05, 0xE2, 0xE1, 0xE3, 0xE2};
    std::memcpy(u->channels[0].p40_44_state, all, 8);
    EXPECT_EQ(true_keys(cycle_rules(rig, *u), 20, 28),
              (std::vector<std::string>{"p40_44_1", "p40_44_2", "p40_44_5", "p40_44_6", "p40_44_7"}));
    u->channels[0].p40_44_state[0] = 1;
    u->channels[0].p40_44_state[4] = 0xE1;
    u->channels[0].p40_44_state[3] = 0xE2;
    EXPECT_EQ(true_keys(cycle_rules(rig, *u), 20, 28),
              (std::vector<std::string>{"p40_44_1", "p40_44_2", "p40_44_4", "p40_44_5", "p40_44_6", "p40_44_7"}));
}

TEST(AcStatusTable, NumberingFollowsElevenPerChannelThenNineThenEightPerChannel) {
    Rig rig;
    auto u = rig.unit();
    const int m = 3;
    feed(*u, std::vector<Alarm>(m));
    const auto rules = cycle_rules(rig, *u);
    ASSERT_EQ(rules.size(), static_cast<size_t>(11 * m + 9 + 8 * m));
    for (size_t i = 0; i < rules.size(); ++i) EXPECT_EQ(rules[i].seq, i + 1);
    for (int k = 0; k < m; ++k)
        for (int j = 0; j < 8; ++j) {
            const auto& r = rules[static_cast<size_t>(11 * m + 9 + 8 * k + j)];
            EXPECT_EQ(r.seq, static_cast<uint32_t>(11 * m + 10 + 8 * k + j));
            EXPECT_EQ(r.detail.rfind("第" + std::to_string(k + 1) + "路交流输入", 0), 0u) << r.detail;
        }
}

TEST(AcStatusTable, AChannelWithAnotherCountDropsOutAndTheNextClosesUp) {
    Rig rig;
    auto u = rig.unit();
    Alarm incomplete{{0, 0, 0, 0}, {}, {5, 5, 5, 5, 5, 5, 5}};
    Alarm full{{0, 0, 0, 0}, {}, {5, 0, 0, 0, 0, 0, 0, 0}};
    {
        CoutCapture out;
        ASSERT_EQ(parse41(*u, portion41({Analog{}, Analog{}})), 47);
    }
    ASSERT_EQ(parse44(*u, portion44(2, {incomplete, full})), 31);
    auto rules = cycle_rules(rig, *u);
    ASSERT_EQ(rules.size(), 22u + 9u + 8u);
    for (size_t j = 0; j < 8; ++j) {
        EXPECT_EQ(rules[31 + j].seq, 32 + j);
        EXPECT_EQ(rules[31 + j].detail.rfind("第2路交流输入", 0), 0u);
    }
    EXPECT_TRUE(rules[31].state);

    // Back in the table once an answer brings eight states again.
    ASSERT_EQ(parse44(*u, portion44(2, {full, full})), 32);
    EXPECT_EQ(cycle_rules(rig, *u).size(), 22u + 9u + 16u);
}

TEST(AcRoundDone, NoChannelsStillChecksThePanelAndRestartsNumbering) {
    Rig rig;
    auto u = rig.unit();
    for (int cycle = 0; cycle < 2; ++cycle) {
        const auto rules = cycle_rules(rig, *u);
        ASSERT_EQ(rules.size(), 9u);
        EXPECT_EQ(rules.front().seq, 1u);
        EXPECT_EQ(rules.back().seq, 9u);
    }
    ASSERT_EQ(rig.controller->snapshots.size(), 2u);
    EXPECT_EQ(rig.controller->snapshots[1].bytes.size(), 32u);
}

TEST(AcRoundDone, HandOverEmptiesThePendingListAndKeepsItsRoom) {
    Rig rig;
    auto u = rig.unit();
    feed(*u, {Alarm{}, Alarm{}});
    u->RoundDone();
    EXPECT_TRUE(u->pending_rules.empty());
    EXPECT_GE(u->pending_rules.capacity(), 22u + 9u + 16u);
    EXPECT_EQ(rig.controller->QueuedWork(), 1u);

    // The batch result is ORed into the flag and never clears it.
    rig.controller->evaluate_result = true;
    rig.controller->RunQueuedWork();
    EXPECT_TRUE(u->batch_result);
    rig.controller->evaluate_result = false;
    u->RoundDone();
    rig.controller->RunQueuedWork();
    EXPECT_TRUE(u->batch_result);
    EXPECT_EQ(rig.controller->batches.size(), 2u);  // evaluated even with the flag set
}

TEST(AcRoundDone, QueuedItemKeepsTheUnitAlive) {
    Rig rig;
    std::weak_ptr<TestAC> weak;
    {
        auto u = rig.unit();
        weak = u;
        u->RoundDone();
    }
    EXPECT_FALSE(weak.expired());
    rig.controller->RunQueuedWork();
    EXPECT_TRUE(weak.expired());
    EXPECT_EQ(rig.controller->histories.size(), 1u);
}

// The snapshot buffer follows the channel count instead of being written past its end.
TEST(AcRoundDone, SnapshotBufferFollowsAChangedChannelCount) {
    Rig rig;
    auto u = rig.unit();
    CoutCapture out;
    ASSERT_EQ(parse41(*u, portion41({})), 13);  // no channels yet
    u->RoundDone();
    EXPECT_EQ(u->snapshot_len, 32);

    Analog a;
    a.a = f32(123.0f);
    ASSERT_EQ(parse41(*u, portion41({a, a})), 47);
    u->RoundDone();
    EXPECT_EQ(u->snapshot_len, 92);
    ASSERT_EQ(rig.controller->snapshots.back().bytes.size(), 92u);
    EXPECT_EQ(Bytes(rig.controller->snapshots.back().bytes.begin() + 62,
                    rig.controller->snapshots.back().bytes.begin() + 66),
              f32(123.0f));

    // A restore with fewer channels shrinks it again.
    Bytes one(62, 0);
    one[16] = 1;
    Exact e(one);
    ASSERT_TRUE(u->LoadFromCache(e.ptr.get(), e.len));
    u->RoundDone();
    EXPECT_EQ(rig.controller->snapshots.back().bytes.size(), 62u);

    // Items queued before the change save the buffer as it stands when they run.
    rig.controller->RunQueuedWork();
    ASSERT_EQ(rig.controller->histories.size(), 3u);
    for (const auto& h : rig.controller->histories) EXPECT_EQ(h.bytes.size(), 62u);
}

}  // namespace
}  // namespace ac_test
