// Decoding of the five answers the rectifier unit parses.

#include <gtest/gtest.h>

#include "tests/rc/rc_support.h"

using namespace rc_test;

namespace {

Bytes user_value(const tele_c_m520s_rc_channel& ch, int k) {
    return bytes_of(reinterpret_cast<const unsigned char*>(&ch) +
                        offsetof(tele_c_m520s_rc_channel, p41_41_value) + 4 * k,
                    4);
}

}  // namespace

TEST(RcParse41_41, EqualBytesBecomeZeroOnlyInUserValues) {
    Fixture f;
    std::vector<Bytes> vals = seven_values(1.5f);
    vals[0] = repeat4(0x20);
    vals[3] = repeat4(0xFF);
    vals[5] = {0x20, 0x20, 0x20, 0x21};  // one differing byte: kept
    Module41 m1{0, vals};
    Module41 m2{7.25f, seven_values(10.0f)};
    Bytes info = info41_41(0, {m1, m2});
    // Group and module values made of one repeated byte stay as received.
    std::memset(info.data() + 1, 0x20, 4);
    std::memset(info.data() + 6, 0xFF, 4);

    ASSERT_EQ(p41_41(*f.rc, info), static_cast<int>(info.size()));
    EXPECT_TRUE(f.ctl->logs.empty());
    EXPECT_EQ(bytes_of(&f.rc->tele.group_value, 4), repeat4(0x20));
    ASSERT_EQ(f.rc->tele.module_count, 2);
    ASSERT_EQ(f.rc->channels.size(), 2u);

    const auto& c0 = f.rc->channels[0];
    EXPECT_EQ(bytes_of(&c0.module_value, 4), repeat4(0xFF));
    EXPECT_EQ(c0.p41_41_count, 7);
    EXPECT_EQ(user_value(c0, 0), repeat4(0));
    EXPECT_EQ(user_value(c0, 1), f32(2.5f));
    EXPECT_EQ(user_value(c0, 3), repeat4(0));
    EXPECT_EQ(user_value(c0, 5), (Bytes{0x20, 0x20, 0x20, 0x21}));
    EXPECT_EQ(user_value(c0, 6), f32(7.5f));

    const auto& c1 = f.rc->channels[1];
    EXPECT_EQ(bytes_of(&c1.module_value, 4), f32(7.25f));
    for (int k = 0; k < 7; ++k) EXPECT_EQ(user_value(c1, k), f32(10.0f + k)) << k;
    // Only the 0x41/0x41 fields were touched.
    EXPECT_EQ(c1.fault_state, 0);
    EXPECT_EQ(c1.p41_44_count, 0);
}

TEST(RcParse41_41, FirstCountIsFixedAndLaterCountsAreRefusedSilently) {
    Fixture f;
    std::vector<Module41> four;
    for (int i = 0; i < 4; ++i) four.push_back({float(i), seven_values(float(i * 10))});
    ASSERT_EQ(p41_41(*f.rc, info41_41(1.0f, four)), 6 + 4 * 33);
    ASSERT_EQ(f.rc->channels.size(), 4u);
    const auto before = bytes_of(f.rc->channels.data(), 4 * sizeof(tele_c_m520s_rc_channel));

    std::vector<Module41> five = four;
    five.push_back({9.0f, seven_values(90.0f)});
    for (auto& m : five) m.value += 100.0f;
    EXPECT_EQ(p41_41(*f.rc, info41_41(2.0f, five)), -1);
    EXPECT_TRUE(f.ctl->logs.empty());
    EXPECT_EQ(f.rc->tele.module_count, 4);
    ASSERT_EQ(f.rc->channels.size(), 4u);
    EXPECT_EQ(bytes_of(f.rc->channels.data(), 4 * sizeof(tele_c_m520s_rc_channel)), before);
    // The group value read before the count stays updated.
    EXPECT_EQ(bytes_of(&f.rc->tele.group_value, 4), f32(2.0f));

    // A smaller count is refused the same way.
    EXPECT_EQ(p41_41(*f.rc, info41_41(3.0f, {four[0], four[1]})), -1);
    EXPECT_EQ(f.rc->channels.size(), 4u);
}

TEST(RcParse41_41, ZeroModulesLeaveTheCountOpen) {
    Fixture f;
    EXPECT_EQ(p41_41(*f.rc, info41_41(1.0f, {})), 6);
    EXPECT_EQ(f.rc->tele.module_count, 0);
    EXPECT_TRUE(f.rc->channels.empty());

    EXPECT_EQ(p41_41(*f.rc, info41_41(1.0f, {{5.0f, seven_values(1.0f)}})), 39);
    EXPECT_EQ(f.rc->tele.module_count, 1);
    EXPECT_EQ(f.rc->channels.size(), 1u);
}

TEST(RcParse41_41, WrongValueCountIsLoggedSkippedAndTheNextModuleDecoded) {
    Fixture f;
    Module41 six{1.0f, seven_values(50.0f)};
    six.values.pop_back();  // P = 6
    Module41 ok{2.0f, seven_values(20.0f)};
    const Bytes info = info41_41(0, {six, ok});

    ASSERT_EQ(p41_41(*f.rc, info), 6 + 5 + 24 + 33);
    ASSERT_EQ(f.ctl->logs.size(), 1u);
    EXPECT_EQ(f.ctl->logs[0],
              "PMBusPowerRC<TeleRC,TeleRCChannel,RT_RC>:ProcotolError 77 read 41_41 p is 6 not 7");
    const auto& c0 = f.rc->channels[0];
    EXPECT_EQ(c0.p41_41_count, 6);
    EXPECT_EQ(bytes_of(&c0.module_value, 4), f32(1.0f));
    for (int k = 0; k < 7; ++k) EXPECT_EQ(user_value(c0, k), repeat4(0)) << k;
    const auto& c1 = f.rc->channels[1];
    EXPECT_EQ(bytes_of(&c1.module_value, 4), f32(2.0f));
    for (int k = 0; k < 7; ++k) EXPECT_EQ(user_value(c1, k), f32(20.0f + k)) << k;
}

class RcParseStates : public ::testing::Test {
protected:
    Fixture f;
    void SetUp() override {
        std::vector<Module41> mods;
        for (int i = 0; i < 3; ++i) mods.push_back({float(i), seven_values(0)});
        ASSERT_EQ(p41_41(*f.rc, info41_41(0, mods)), 6 + 3 * 33);
    }
};

TEST_F(RcParseStates, SwitchStatesWithFewerModulesUpdateOnlyThoseAndMoreAreRefusedSilently) {
    const Bytes info = info41_43({{{1, 2, 3}, {10, 11, 12, 13, 14, 15}},
                                  {{4, 5, 6}, {20, 21, 22, 23, 24, 25}}});
    ASSERT_EQ(p41_43(*f.rc, info), 2 + 2 * 10);
    EXPECT_TRUE(f.ctl->logs.empty());
    EXPECT_EQ(bytes_of(f.rc->channels[0].module_state, 3), (Bytes{1, 2, 3}));
    EXPECT_EQ(f.rc->channels[0].p41_43_count, 6);
    EXPECT_EQ(bytes_of(f.rc->channels[1].p41_43_state, 6), (Bytes{20, 21, 22, 23, 24, 25}));
    EXPECT_EQ(bytes_of(f.rc->channels[2].module_state, 3), (Bytes{0, 0, 0}));
    EXPECT_EQ(f.rc->channels[2].p41_43_count, 0);

    std::vector<Module43> four(4, Module43{{9, 9, 9}, {9, 9, 9, 9, 9, 9}});
    EXPECT_EQ(p41_43(*f.rc, info41_43(four)), -1);
    EXPECT_TRUE(f.ctl->logs.empty());
    EXPECT_EQ(bytes_of(f.rc->channels[0].module_state, 3), (Bytes{1, 2, 3}));
}

TEST_F(RcParseStates, SwitchStateCountMismatchIsLoggedAndSkipped) {
    const Bytes info = info41_43({{{1, 2, 3}, {7, 7}}, {{4, 5, 6}, {20, 21, 22, 23, 24, 25}}});
    ASSERT_EQ(p41_43(*f.rc, info), 2 + 6 + 10);
    ASSERT_EQ(f.ctl->logs.size(), 1u);
    EXPECT_EQ(f.ctl->logs[0],
              "PMBusPowerRC<TeleRC,TeleRCChannel,RT_RC>:ProcotolError 77 read 41_43 p is 2, not 6");
    EXPECT_EQ(f.rc->channels[0].p41_43_count, 2);
    EXPECT_EQ(bytes_of(f.rc->channels[0].module_state, 3), (Bytes{1, 2, 3}));
    EXPECT_EQ(bytes_of(f.rc->channels[0].p41_43_state, 6), Bytes(6, 0));
    EXPECT_EQ(bytes_of(f.rc->channels[1].p41_43_state, 6), (Bytes{20, 21, 22, 23, 24, 25}));
}

TEST_F(RcParseStates, AlarmStatesWithMoreModulesAreLoggedAndGiveZero) {
    const Bytes eight{1, 2, 3, 4, 5, 6, 7, 8};
    ASSERT_EQ(p41_44(*f.rc, info41_44({{1, eight}})), 2 + 10);
    EXPECT_EQ(f.rc->channels[0].fault_state, 1);
    EXPECT_EQ(f.rc->channels[0].p41_44_count, 8);
    EXPECT_EQ(bytes_of(f.rc->channels[0].p41_44_state, 8), eight);
    EXPECT_EQ(f.rc->channels[1].p41_44_count, 0);
    EXPECT_TRUE(f.ctl->logs.empty());

    std::vector<Module44> four(4, Module44{0, Bytes(8, 0)});
    EXPECT_EQ(p41_44(*f.rc, info41_44(four)), 0);
    ASSERT_EQ(f.ctl->logs.size(), 1u);
    EXPECT_EQ(f.ctl->logs[0],
              "PMBusPowerRC<TeleRC,TeleRCChannel,RT_RC>:ProcotolError 77 parse p41_44 "
              "channel_count not equal 4 != 3 ");
    EXPECT_EQ(f.rc->channels[0].fault_state, 1);
}

TEST_F(RcParseStates, AlarmStateCountMismatchIsLoggedAndSkipped) {
    const Bytes info = info41_44({{1, Bytes(7, 1)}, {0, Bytes{0, 0, 0, 0xE2, 0, 0, 0, 0}}});
    ASSERT_EQ(p41_44(*f.rc, info), 2 + 9 + 10);
    ASSERT_EQ(f.ctl->logs.size(), 1u);
    EXPECT_EQ(f.ctl->logs[0],
              "PMBusPowerRC<TeleRC,TeleRCChannel,RT_RC>:ProcotolError 77 read 41_44 p is 7, not 8");
    EXPECT_EQ(f.rc->channels[0].fault_state, 1);
    EXPECT_EQ(f.rc->channels[0].p41_44_count, 7);
    EXPECT_EQ(bytes_of(f.rc->channels[0].p41_44_state, 8), Bytes(8, 0));
    EXPECT_EQ(f.rc->channels[1].p41_44_state[3], 0xE2);
}

TEST(RcParseParams, AcParametersReturnTheirWholeLengthEvenPastTheBytesGiven) {
    Fixture f;
    const std::vector<float> five{220.0f, 230.0f, 1.5f, 2.5f, 50.0f};
    EXPECT_EQ(p40_46(*f.rc, info40_46(five, 0)), 21);
    Bytes expect;
    for (float v : five) put(expect, f32(v));
    EXPECT_EQ(bytes_of(f.rc->tele.ac_param, 20), expect);

    // Count 2 in a 21-byte answer: the two values are not there and not read.
    EXPECT_EQ(p40_46(*f.rc, info40_46({1, 2, 3, 4, 5}, 2)), 29);
    EXPECT_EQ(bytes_of(f.rc->tele.ac_param, 4), f32(1.0f));
    EXPECT_TRUE(f.ctl->logs.empty());
}

TEST(RcParseParams, DcParametersTakeNineBytesAndLogAnUnexpectedCount) {
    Fixture f;
    EXPECT_EQ(p42_46(*f.rc, info42_46(53.5f, 2.0f, 0)), 9);
    Bytes expect = f32(53.5f);
    put(expect, f32(2.0f));
    EXPECT_EQ(bytes_of(f.rc->tele.dc_param, 8), expect);
    EXPECT_EQ(f.rc->tele.dc_param_count, 0);
    EXPECT_EQ(p42_46(*f.rc, info42_46(1.0f, 2.0f, 0, {0xAA, 0xBB, 0xCC})), 9);
    EXPECT_TRUE(f.ctl->logs.empty());

    EXPECT_EQ(p42_46(*f.rc, info42_46(1.0f, 2.0f, 3)), 21);
    EXPECT_EQ(f.rc->tele.dc_param_count, 3);
    ASSERT_EQ(f.ctl->logs.size(), 1u);
    EXPECT_EQ(f.ctl->logs[0], "QTR41K:ProcotolError parse42_46 77 p:3 != 0");
}
