#include <gtest/gtest.h>

#include <string>

#include "tests/dc/dc_support.h"

namespace {

using namespace dc_test;

Bytes states(size_t n, unsigned char first = 1) {
    Bytes b(n);
    for (size_t k = 0; k < n; ++k) b[k] = static_cast<unsigned char>(first + k);
    return b;
}

TEST(DC42_44, FullPortionIsStoredAndMeasured) {
    Rig r;
    Bytes b = portion44(2, {3, 0}, states(71));
    b.push_back(0xEE);  // the next unit's
    EXPECT_EQ(r.parse44(b), 76);
    EXPECT_EQ(r.dc->tele.v_state, 2);
    EXPECT_EQ(r.dc->tele.alert_m, 2);
    EXPECT_EQ(r.dc->tele.alert_m_state[0], 3);
    EXPECT_EQ(r.dc->tele.alert_p, 71);
    EXPECT_EQ(r.dc->tele.alert_p_state[70], 71);
    EXPECT_TRUE(r.ctl->logs.empty());
}

TEST(DC42_44, SurplusStatesAreCountedButNotStored) {
    Rig r;
    // m = 3: silently keeps two; p is read after all three state bytes.
    Bytes b = portion44(0, {7, 8, 9}, states(72, 10));
    ASSERT_EQ(r.parse44(b), 3 + 3 + 72);
    EXPECT_EQ(r.dc->tele.alert_m, 3);
    EXPECT_EQ(r.dc->tele.alert_m_state[1], 8);
    EXPECT_EQ(r.dc->tele.alert_p, 72);
    EXPECT_EQ(r.dc->tele.alert_p_state[0], 10);
    EXPECT_EQ(r.dc->tele.alert_p_state[70], 80);
    // The 72nd state has nowhere to go: the time stamp after the array is untouched.
    EXPECT_EQ(r.dc->tele.time_stamp[0], 0);
    ASSERT_EQ(r.ctl->logs.size(), 1u);
    EXPECT_EQ(r.ctl->logs[0], "PMBusPowerDC<TeleDC, RT_DC>:ProcotolError 42 read 42_44 p is 72,  alert_p is 71");
}

TEST(DC42_44, ShortPortionIsRefusedAtTheFirstFieldThatDoesNotFit) {
    const Bytes portion = portion44(1, {3, 3}, states(71));
    const int ends[] = {1, 2, 4, 5, 76};
    for (int len = -1; len < static_cast<int>(portion.size()); ++len) {
        Rig r;
        int end = 0;
        for (int e : ends)
            if (e > len) { end = e; break; }
        EXPECT_EQ(r.parse44(portion, len), -1) << len;
        EXPECT_EQ(r.ctl->logs.back(), "PMBusPowerAC:ProcotolError 42 read 42_44 read overflow " +
                                          std::to_string(end) + " - " + std::to_string(len));
        EXPECT_EQ(r.dc->tele.v_state, len >= 1 ? 1 : 0);
    }
}

}  // namespace
