// Record templates with non-zero capacities, and the generic unit over them.

#include <gtest/gtest.h>

#include "tests/ac/ac_support.h"

namespace ac_test {
namespace {

using wide_panel = tele_c_pmbuspower_ac<2, 4>;
using wide_channel = tele_c_pmbuspower_ac_channel<2, 5>;

static_assert(wide_panel::AIRLOCK_MAX() == 2 && wide_panel::P40_43_SIZE() == 4);
static_assert(sizeof(wide_panel) == 35);
static_assert(offsetof(wide_panel, channel_count) == 16);
static_assert(offsetof(wide_panel, airlock_count) == 17);
static_assert(offsetof(wide_panel, airlock_state) == 18);
static_assert(offsetof(wide_panel, p40_43_count) == 20);
static_assert(offsetof(wide_panel, p40_43_state) == 21);
static_assert(offsetof(wide_panel, ia_alert) == 25);
static_assert(offsetof(wide_panel, ib_alert) == 26);
static_assert(offsetof(wide_panel, ic_alert) == 27);
static_assert(offsetof(wide_panel, time_stamp) == 28);

static_assert(wide_channel::P40_41_SIZE() == 2 && wide_channel::p40_44_SIZE() == 5);
static_assert(sizeof(wide_channel) == 35);
static_assert(offsetof(wide_channel, p40_41_count) == 16);
static_assert(offsetof(wide_channel, p40_41_value) == 17);
static_assert(offsetof(wide_channel, a_state) == 25);
static_assert(offsetof(wide_channel, b_state) == 26);
static_assert(offsetof(wide_channel, c_state) == 27);
static_assert(offsetof(wide_channel, f_state) == 28);
static_assert(offsetof(wide_channel, p40_44_count) == 29);
static_assert(offsetof(wide_channel, p40_44_state) == 30);

class WideAC : public PMBusPowerAC<wide_panel, wide_channel, 6000> {
public:
    using PMBusPowerAC::channels;
    using PMBusPowerAC::snapshot_len;
    using PMBusPowerAC::tele;
    int status_calls = 0;

protected:
    void DoImpCheckAlert() override { ++status_calls; }
};

TEST(AcGenericUnit, CapacitiesShapeTheAnswersAndTheSnapshot) {
    Rig rig;
    auto u = std::make_shared<WideAC>();
    u->InitV(rig.parent.get(), 9, Json::Value());

    // 40/41: one channel with two user values, the second absent.
    Bytes b41{1};
    put(b41, f32(1)), put(b41, f32(2)), put(b41, f32(3)), put(b41, f32(4));
    b41.push_back(2);
    put(b41, f32(5.5f)), put(b41, {0x33, 0x33, 0x33, 0x33});
    put(b41, f32(10)), put(b41, f32(11)), put(b41, f32(12));
    {
        CoutCapture out;
        Exact e(b41);
        EXPECT_EQ(u->parse40_41(e.ptr.get(), e.len), 1 + 17 + 8 + 12);
    }
    ASSERT_EQ(u->channels.size(), 1u);
    EXPECT_FLOAT_EQ(get(&u->channels[0].p40_41_value[0]), 5.5f);
    EXPECT_EQ(bytes_of(&u->channels[0].p40_41_value[1]), (Bytes{0xCD, 0xCC, 0xCC, 0xBD}));

    // 40/43: up to two switch states, then four user states.
    {
        Exact e(Bytes{2, 0xA1, 0xA2, 4, 1, 2, 3, 4});
        EXPECT_EQ(u->parse40_43(e.ptr.get(), e.len), 8);
    }
    EXPECT_EQ((Bytes{u->tele.airlock_state[0], u->tele.airlock_state[1]}), (Bytes{0xA1, 0xA2}));
    EXPECT_EQ(Bytes(u->tele.p40_43_state, u->tele.p40_43_state + 4), (Bytes{1, 2, 3, 4}));
    {
        Exact e(Bytes{3, 0, 0, 0, 4, 1, 2, 3, 4});
        EXPECT_EQ(u->parse40_43(e.ptr.get(), e.len), -1);
    }
    EXPECT_EQ(rig.controller->logs.back(), "ProcotolError %u read 40_43 m is %d max %d");

    // 40/44: five user states per channel.
    {
        Exact e(Bytes{1, 1, 2, 3, 0, 0, 5, 9, 8, 7, 6, 5, 3, 2, 1});
        EXPECT_EQ(u->parse40_44(e.ptr.get(), e.len), 15);
    }
    EXPECT_EQ(Bytes(u->channels[0].p40_44_state, u->channels[0].p40_44_state + 5), (Bytes{9, 8, 7, 6, 5}));
    EXPECT_EQ(u->tele.ic_alert, 1);

    u->RoundDone();
    EXPECT_EQ(u->snapshot_len, 35 + 35);
    ASSERT_EQ(rig.controller->snapshots.size(), 1u);
    EXPECT_EQ(rig.controller->snapshots[0].type, 6000);
    EXPECT_EQ(u->status_calls, 1);
}

}  // namespace
}  // namespace ac_test
