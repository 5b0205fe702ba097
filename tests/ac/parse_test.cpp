// Decoding of the AC panel's share of the 0x40/0x41, 0x40/0x43 and 0x40/0x44 answers.

#include <gtest/gtest.h>

#include "tests/ac/ac_support.h"

namespace ac_test {
namespace {

const Bytes kMinusTenth{0xCD, 0xCC, 0xCC, 0xBD};
const Bytes kZero{0, 0, 0, 0};

TEST(AcParse4041, OneChannelStoresValuesPrintsTheLineAndReturnsItsLength) {
    Rig rig;
    auto u = rig.unit();
    CoutCapture out;
    EXPECT_EQ(parse41(*u, portion41({Analog{}})), 30);
    EXPECT_EQ(out.text(), "a:220 b:221 c:219.5 f:50\n");
    ASSERT_EQ(u->channels.size(), 1u);
    EXPECT_EQ(u->tele.channel_count, 1);
    EXPECT_FLOAT_EQ(get(&u->channels[0].a), 220.0f);
    EXPECT_FLOAT_EQ(get(&u->channels[0].b), 221.0f);
    EXPECT_FLOAT_EQ(get(&u->channels[0].c), 219.5f);
    EXPECT_FLOAT_EQ(get(&u->channels[0].f), 50.0f);
    EXPECT_EQ(u->channels[0].p40_41_count, 0);
    EXPECT_FLOAT_EQ(get(&u->tele.ia), 10.0f);
    EXPECT_FLOAT_EQ(get(&u->tele.ib), 11.0f);
    EXPECT_FLOAT_EQ(get(&u->tele.ic), 12.0f);
    EXPECT_TRUE(rig.controller->logs.empty());
}

TEST(AcParse4041, FirstCountFixesTheChannelsAndAnotherCountIsRefusedSilently) {
    Rig rig;
    auto u = rig.unit();
    CoutCapture out;
    // An answer without channels fixes nothing.
    EXPECT_EQ(parse41(*u, portion41({})), 13);
    EXPECT_TRUE(u->channels.empty());

    EXPECT_EQ(parse41(*u, portion41({Analog{}, Analog{}})), 47);
    ASSERT_EQ(u->channels.size(), 2u);
    EXPECT_EQ(u->tele.channel_count, 2);

    Analog other;
    other.a = f32(1.0f);
    const std::string printed = out.text();
    EXPECT_EQ(parse41(*u, portion41({other, other, other}, f32(99.0f))), -1);
    EXPECT_EQ(u->channels.size(), 2u);
    EXPECT_EQ(u->tele.channel_count, 2);
    EXPECT_FLOAT_EQ(get(&u->channels[0].a), 220.0f);
    EXPECT_FLOAT_EQ(get(&u->tele.ia), 10.0f);
    EXPECT_EQ(out.text(), printed);
    EXPECT_TRUE(rig.controller->logs.empty());

    // The fixed count is accepted again.
    EXPECT_EQ(parse41(*u, portion41({other, other}, f32(99.0f))), 47);
    EXPECT_FLOAT_EQ(get(&u->channels[1].a), 1.0f);
    EXPECT_FLOAT_EQ(get(&u->tele.ia), 99.0f);
}

TEST(AcParse4041, AbsentValuesBecomeZeroInChannelsAndMinusTenthInCurrents) {
    Rig rig;
    auto u = rig.unit();
    Analog ch;
    ch.a = {0x20, 0x20, 0x20, 0x20};
    ch.b = {0xFF, 0xFF, 0xFF, 0xFF};
    ch.c = {0x00, 0x00, 0x00, 0x00};
    ch.f = {0x20, 0x20, 0x20, 0x21};  // not all equal: an ordinary value
    CoutCapture out;
    EXPECT_EQ(parse41(*u, portion41({ch}, {0x20, 0x20, 0x20, 0x20}, {0, 0, 0, 0}, {0x7F, 0x7F, 0x7F, 0x7F})), 30);
    EXPECT_EQ(bytes_of(&u->channels[0].a), kZero);
    EXPECT_EQ(bytes_of(&u->channels[0].b), kZero);
    EXPECT_EQ(bytes_of(&u->channels[0].c), kZero);
    EXPECT_EQ(bytes_of(&u->channels[0].f), ch.f);
    EXPECT_EQ(bytes_of(&u->tele.ia), kMinusTenth);
    EXPECT_EQ(bytes_of(&u->tele.ib), kZero);
    EXPECT_EQ(bytes_of(&u->tele.ic), kMinusTenth);
    EXPECT_EQ(out.text().rfind("a:0 b:0 c:0 f:", 0), 0u) << out.text();
}

TEST(AcParse4041, UserValuesOfAnotherCountAreLoggedAndSkipped) {
    Rig rig;
    auto u = rig.unit();
    Analog first;
    first.user = {1, 2, 3, 4, 5, 6, 7, 8};
    Analog second;
    second.a = f32(230.0f);
    CoutCapture out;
    EXPECT_EQ(parse41(*u, portion41({first, second})), 13 + 17 * 2 + 8);
    EXPECT_EQ(rig.controller->logs,
              std::vector<std::string>{"PMBusPowerAC:ProcotolError 7 read 40_41 p is 2 not 0"});
    EXPECT_EQ(u->channels[0].p40_41_count, 2);
    EXPECT_EQ(u->channels[1].p40_41_count, 0);
    EXPECT_FLOAT_EQ(get(&u->channels[1].a), 230.0f);
    EXPECT_FLOAT_EQ(get(&u->tele.ic), 12.0f);
}

TEST(AcParse4043, WellFormedPortionStoresTheUserStates) {
    Rig rig;
    auto u = rig.unit();
    EXPECT_EQ(parse43(*u, {0x00, 0x03, 0x01, 0x00, 0x05}), 5);
    EXPECT_EQ(u->tele.airlock_count, 0);
    EXPECT_EQ(u->tele.p40_43_count, 3);
    EXPECT_EQ(Bytes(u->tele.p40_43_state, u->tele.p40_43_state + 3), (Bytes{0x01, 0x00, 0x05}));
    EXPECT_TRUE(rig.controller->logs.empty());
}

TEST(AcParse4043, SwitchStatesBeyondCapacityAreRefusedWithThePrintfMessage) {
    Rig rig;
    auto u = rig.unit();
    EXPECT_EQ(parse43(*u, {0x01, 0x00, 0x03, 0x01, 0x00, 0x05}), -1);
    EXPECT_EQ(u->tele.airlock_count, 1);
    EXPECT_EQ(rig.controller->logs, std::vector<std::string>{"ProcotolError %u read 40_43 m is %d max %d"});
}

TEST(AcParse4043, AnotherUserCountReturnsTheDescribedLengthWithoutReadingIt) {
    Rig rig;
    auto u = rig.unit();
    ASSERT_EQ(parse43(*u, {0x00, 0x03, 0x09, 0x08, 0x07}), 5);
    // p = 2 with len 3: the two skipped bytes are counted, not read.
    EXPECT_EQ(parse43(*u, {0x00, 0x02, 0x01}), 4);
    EXPECT_EQ(u->tele.p40_43_count, 2);
    EXPECT_EQ(Bytes(u->tele.p40_43_state, u->tele.p40_43_state + 3), (Bytes{0x09, 0x08, 0x07}));
    EXPECT_EQ(rig.controller->logs,
              std::vector<std::string>{"PMBusPowerAC:ProcotolError P7 read 40_43 p is 2 not 3"});
}

TEST(AcParse4044, WalksTheFixedChannelCountWhateverTheFirstByteSays) {
    Rig rig;
    auto u = rig.unit();
    {
        CoutCapture out;
        ASSERT_EQ(parse41(*u, portion41({Analog{}, Analog{}})), 47);
    }
    Alarm first{{1, 2, 3, 0}, {}, {5, 0, 0, 0xE1, 0, 0, 0, 0xE2}};
    Alarm second{{0, 0, 0, 2}, {}, {0, 1, 2, 3, 4, 5, 6, 7}};
    EXPECT_EQ(parse44(*u, portion44(5, {first, second}, {2, 1, 3})), 4 + 14 * 2);
    const auto& c0 = u->channels[0];
    const auto& c1 = u->channels[1];
    EXPECT_EQ((Bytes{c0.a_state, c0.b_state, c0.c_state, c0.f_state}), first.states);
    EXPECT_EQ((Bytes{c1.a_state, c1.b_state, c1.c_state, c1.f_state}), second.states);
    EXPECT_EQ(c0.p40_44_count, 8);
    EXPECT_EQ(Bytes(c0.p40_44_state, c0.p40_44_state + 8), first.user);
    EXPECT_EQ(Bytes(c1.p40_44_state, c1.p40_44_state + 8), second.user);
    EXPECT_EQ((Bytes{u->tele.ia_alert, u->tele.ib_alert, u->tele.ic_alert}), (Bytes{2, 1, 3}));
    EXPECT_TRUE(rig.controller->logs.empty());
}

TEST(AcParse4044, BeforeAnyAnalogAnswerOnlyTheAlertsAreRead) {
    Rig rig;
    auto u = rig.unit();
    EXPECT_EQ(parse44(*u, {0x02, 0x01, 0x02, 0x03}), 4);
    EXPECT_EQ((Bytes{u->tele.ia_alert, u->tele.ib_alert, u->tele.ic_alert}), (Bytes{1, 2, 3}));
}

TEST(AcParse4044, SkippedBytesAndOtherUserCountsAreLoggedAndTheWalkGoesOn) {
    Rig rig;
    auto u = rig.unit();
    {
        CoutCapture out;
        ASSERT_EQ(parse41(*u, portion41({Analog{}, Analog{}})), 47);
    }
    ASSERT_EQ(parse44(*u, portion44(2, {Alarm{}, Alarm{}})), 32);  // user states all 0 so far

    Alarm first{{3, 0, 0, 0}, {0xAA}, {1, 2, 3, 4, 5, 6, 7}};  // n = 1, p = 7
    Alarm second{{0, 1, 0, 0}, {}, {9, 9, 9, 9, 9, 9, 9, 9}};
    EXPECT_EQ(parse44(*u, portion44(2, {first, second}, {0, 0, 1})), 4 + 14 * 2 + 1 - 1);
    EXPECT_EQ(rig.controller->logs,
              (std::vector<std::string>{"PMBusPowerAC:ProcotolError 7 read 40_44 m is 1",
                                        "PMBusPowerAC:ProcotolError 7 read 40_44 p is 7 not 8"}));
    EXPECT_EQ(u->channels[0].a_state, 3);
    EXPECT_EQ(u->channels[0].p40_44_count, 7);
    EXPECT_EQ(Bytes(u->channels[0].p40_44_state, u->channels[0].p40_44_state + 8), Bytes(8, 0));
    EXPECT_EQ(u->channels[1].b_state, 1);
    EXPECT_EQ(Bytes(u->channels[1].p40_44_state, u->channels[1].p40_44_state + 8), second.user);
    EXPECT_EQ(u->tele.ic_alert, 1);
}

// Every prefix of a well-formed portion: refused with the overflow message,
// which names the full length the portion's counts describe and the bytes
// given. The buffers are exactly as long as the prefix.
struct Truncation {
    const char* name;
    Bytes whole;
    int (*parse)(TestAC&, const Bytes&);
    bool fix_two_channels;  // an earlier 40/41 answer has fixed two channels
};

TEST(AcParseBounds, EveryShortPortionIsRefusedWithoutReadingPastItsEnd) {
    Alarm alarm{{1, 2, 3, 1}, {}, {5, 5, 5, 5, 5, 5, 5, 5}};
    const Truncation cases[] = {
        {"40_41", portion41({Analog{}, Analog{}}), parse41, true},
        {"40_43", {0x00, 0x03, 0x01, 0x00, 0x05}, parse43, false},
        {"40_44", portion44(2, {alarm, alarm}, {1, 2, 3}), parse44, true},
    };
    for (const auto& t : cases) {
        const int full = static_cast<int>(t.whole.size());
        for (int cut = 0; cut < full; ++cut) {
            Rig rig;
            auto u = rig.unit();
            CoutCapture out;
            if (t.fix_two_channels) {
                ASSERT_EQ(parse41(*u, portion41({Analog{}, Analog{}})), 47);
            }
            const Bytes prefix(t.whole.begin(), t.whole.begin() + cut);
            EXPECT_EQ(t.parse(*u, prefix), -1) << t.name << " cut " << cut;
            EXPECT_EQ(rig.controller->logs,
                      std::vector<std::string>{"PMBusPowerAC:ProcotolError 7 read " + std::string(t.name) +
                                               " read overflow " + std::to_string(full) + " - " +
                                               std::to_string(cut)})
                << t.name << " cut " << cut;
        }
        Rig rig;
        auto u = rig.unit();
        CoutCapture out;
        if (t.fix_two_channels) {
            ASSERT_EQ(parse41(*u, portion41({Analog{}, Analog{}})), 47);
        }
        EXPECT_EQ(t.parse(*u, t.whole), full) << t.name;
    }
}

TEST(AcParseBounds, CountsThatReachPastTheEndAreRefusedBeforeTheSkip) {
    Rig rig;
    auto u = rig.unit();
    CoutCapture out;
    // Channel 0 announces 255 user floats; only four bytes follow.
    Bytes b{1};
    put(b, f32(1)), put(b, f32(2)), put(b, f32(3)), put(b, f32(4));
    put(b, {0xFF, 0, 0, 0, 0});
    EXPECT_EQ(parse41(*u, b), -1);
    EXPECT_EQ(rig.controller->logs.back(), "PMBusPowerAC:ProcotolError 7 read 40_41 read overflow " +
                                               std::to_string(18 + 4 * 255 + 12) + " - 22");
    // The values read before the overflow stay.
    EXPECT_FLOAT_EQ(get(&u->channels[0].a), 1.0f);
}

TEST(AcParseBounds, ANegativeRemainderReadsNothing) {
    Rig rig;
    auto u = rig.unit();
    Exact none(Bytes{});
    EXPECT_EQ(u->parse40_43(none.ptr.get(), -3), -1);
    EXPECT_EQ(u->parse40_44(none.ptr.get(), -3), -1);
    EXPECT_EQ(u->parse40_41(none.ptr.get(), -3), -1);
    EXPECT_EQ(rig.controller->logs,
              (std::vector<std::string>{"PMBusPowerAC:ProcotolError 7 read 40_43 read overflow 5 - -3",
                                        "PMBusPowerAC:ProcotolError 7 read 40_44 read overflow 4 - -3",
                                        "PMBusPowerAC:ProcotolError 7 read 40_41 read overflow 13 - -3"}));
}

}  // namespace
}  // namespace ac_test
