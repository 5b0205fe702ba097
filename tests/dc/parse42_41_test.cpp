#include <gtest/gtest.h>

#include <string>

#include "tests/dc/dc_support.h"

namespace {

using namespace dc_test;
using testing_support::f32;

constexpr uint32_t kNoValue = 0xBDCCCCCDu;  // -0.1f

TEST(DC42_41, PortionSizeResultAndStoredFields) {
    Rig r;
    Bytes b = portion41(53.5f, 12.25f, {1.5f, 2.5f}, {}, {});
    b.insert(b.end(), {0xAA, 0xBB});  // the next unit's bytes are not ours
    testing::internal::CaptureStdout();
    EXPECT_EQ(r.parse41(b), 19);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "parse 42 41: 0 0 56 42\n");
    EXPECT_EQ(r.dc->tele.v, 53.5f);
    EXPECT_EQ(r.dc->tele.i, 12.25f);
    EXPECT_EQ(r.dc->tele.dc_m, 2);
    EXPECT_EQ(r.dc->tele.dc_m_value[1], 2.5f);
    EXPECT_EQ(r.dc->tele.dc_n, 0);
    EXPECT_EQ(r.dc->tele.p_count, 0);
    EXPECT_TRUE(r.ctl->logs.empty());
}

TEST(DC42_41, OverCapacityCountsSkipTheirValuesAndTheParseGoesOn) {
    Rig r;
    r.parse41(portion41(1, 2, {7.0f, 8.0f}, {}, {}));
    // m = 3 and n = 2 are both over capacity; their 20 bytes are skipped.
    Bytes b = portion41(1, 2, {9.0f, 9.0f, 9.0f}, {4.0f, 4.0f}, {f32(6.5f)});
    ASSERT_EQ(r.parse41(b), 11 + 4 * 6);
    EXPECT_EQ(r.dc->tele.dc_m, 3);
    EXPECT_EQ(r.dc->tele.dc_m_value[0], 7.0f);
    EXPECT_EQ(r.dc->tele.dc_m_value[1], 8.0f);
    EXPECT_EQ(r.dc->tele.dc_n, 2);
    EXPECT_EQ(r.dc->tele.p_count, 1);
    EXPECT_EQ(r.dc->tele.user_p[0], 6.5f);
    ASSERT_EQ(r.ctl->logs.size(), 2u);
    EXPECT_EQ(r.ctl->logs[0], "PMBusPowerDC<TeleDC, RT_DC>:ProcotolError 42 read dc_m is 3, MAX_M is 2");
    EXPECT_EQ(r.ctl->logs[1], "PMBusPowerDC<TeleDC, RT_DC>:ProcotolError 42 read dc_n is 2, MAX_N is 0");
}

TEST(DC42_41, TooManyUserValuesConsumesTheWholeRemainderAndKeepsUserP) {
    Rig r;
    r.parse41(portion41(1, 2, {}, {}, {f32(3.0f)}));
    std::vector<Bytes> p(21, f32(5.0f));
    Bytes b = portion41(1, 2, {}, {}, p);
    b.resize(40);  // the refusal comes before the values: no need to send them
    EXPECT_EQ(r.parse41(b), 40);
    EXPECT_EQ(r.dc->tele.p_count, 21);
    EXPECT_EQ(r.dc->tele.user_p[0], 3.0f);
    ASSERT_EQ(r.ctl->logs.size(), 1u);
    EXPECT_EQ(r.ctl->logs[0],
              "PMBusPowerDC<TeleDC, RT_DC>:ProcotolError 42 read p_count is 21, support user_p max is 20");
}

TEST(DC42_41, RepeatedNonZeroBytesMarkAbsentUserValuesOnly) {
    Rig r;
    const Bytes same{0x20, 0x20, 0x20, 0x20};
    const float f = as_float(same.data());
    const Bytes b = portion41(f, f, {f}, {}, {same, {0, 0, 0, 0}, {0x41, 0x41, 0x41, 0x40},
                                              {0xFF, 0xFF, 0xFF, 0xFF}, {0x00, 0x20, 0x20, 0x20}});
    ASSERT_EQ(r.parse41(b), 11 + 4 * 6);
    EXPECT_EQ(as_bits(&r.dc->tele.v), 0x20202020u);
    EXPECT_EQ(as_bits(&r.dc->tele.i), 0x20202020u);
    EXPECT_EQ(as_bits(&r.dc->tele.dc_m_value[0]), 0x20202020u);
    EXPECT_EQ(as_bits(&r.dc->tele.user_p[0]), kNoValue);
    EXPECT_EQ(as_bits(&r.dc->tele.user_p[1]), 0u);
    EXPECT_EQ(as_bits(&r.dc->tele.user_p[2]), 0x40414141u);
    EXPECT_EQ(as_bits(&r.dc->tele.user_p[3]), kNoValue);
    EXPECT_EQ(as_bits(&r.dc->tele.user_p[4]), 0x20202000u);
}

// A portion cut short anywhere is refused with the position just past the
// field that did not fit, and nothing at or beyond len is read (the buffer is
// exactly len bytes).
TEST(DC42_41, ShortPortionIsRefusedAtTheFirstFieldThatDoesNotFit) {
    struct Case {
        Bytes portion;
        std::vector<int> field_ends;
    };
    const Case cases[] = {
        {portion41(1, 2, {3, 4}, {}, {f32(5), f32(6), f32(7)}), {4, 8, 9, 17, 18, 19, 31}},
        // Skipped blocks only move the cursor; the next field reports the end.
        {portion41(1, 2, {3, 4, 5}, {}, {}), {4, 8, 9, 22, 23}},
    };
    for (const auto& c : cases) {
        for (int len = -1; len < static_cast<int>(c.portion.size()); ++len) {
            Rig r;
            int end = 0;
            for (int e : c.field_ends)
                if (e > len) { end = e; break; }
            testing::internal::CaptureStdout();
            EXPECT_EQ(r.parse41(c.portion, len), -1) << len;
            const std::string out = testing::internal::GetCapturedStdout();
            EXPECT_EQ(out.empty(), len < 4) << len;
            EXPECT_EQ(r.ctl->logs.back(), "PMBusPowerAC:ProcotolError 42 read 42_41 read overflow " +
                                              std::to_string(end) + " - " + std::to_string(len));
            EXPECT_EQ(r.dc->tele.v, len >= 4 ? 1.0f : 0.0f) << "fields before the fault stay stored";
        }
    }
}

}  // namespace
