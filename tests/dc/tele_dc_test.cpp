#include <gtest/gtest.h>

#include "tests/dc/dc_support.h"

namespace {

using namespace dc_test;

// Another panel model: arrays follow the capacities, zero takes no room.
using other_dc = tele_c_pmbuspower_dc<1, 3, 0, 4, 9>;
static_assert(other_dc::M_SIZE() == 1 && other_dc::N_SIZE() == 3 && other_dc::P_SIZE() == 0 &&
              other_dc::ALERT_M_SIZE() == 4 && other_dc::ALERT_P_SIZE() == 9);
static_assert(offsetof(other_dc, dc_m_value) == 13);
static_assert(offsetof(other_dc, dc_n) == 17);
static_assert(offsetof(other_dc, dc_n_value) == 18);
static_assert(offsetof(other_dc, p_count) == 30);
static_assert(offsetof(other_dc, user_p) == 31);
static_assert(offsetof(other_dc, v_state) == 31);
static_assert(offsetof(other_dc, alert_m) == 32);
static_assert(offsetof(other_dc, alert_m_state) == 33);
static_assert(offsetof(other_dc, alert_p) == 37);
static_assert(offsetof(other_dc, alert_p_state) == 38);
static_assert(offsetof(other_dc, time_stamp) == 47);
static_assert(sizeof(other_dc) == 54);

class OtherDC : public PMBusPowerDC<other_dc, 6000> {
public:
    using PMBusPowerDC::tele;
    int table_runs = 0;

protected:
    void DoImpCheckAlert() override { ++table_runs; }
};

TEST(DCRecord, TheUnitFollowsTheCapacitiesOfItsRecord) {
    auto c = std::make_shared<testing_support::RecordingController>();
    auto dc = std::make_shared<OtherDC>();
    dc->Init(c, 9);
    const Bytes a = portion41(1, 2, {3}, {4, 5, 6}, {});
    testing::internal::CaptureStdout();
    EXPECT_EQ(dc->parse42_41(a.data(), static_cast<int>(a.size())), 27);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(dc->tele.dc_n_value[2], 6.0f);
    const Bytes b = portion44(0, {3, 0, 3, 0}, Bytes(9, 7));
    EXPECT_EQ(dc->parse42_44(b.data(), static_cast<int>(b.size())), 16);
    EXPECT_EQ(dc->tele.alert_m_state[2], 3);
    EXPECT_TRUE(c->logs.empty());

    dc->RoundDone();
    ASSERT_EQ(c->snapshots.size(), 1u);
    EXPECT_EQ(c->snapshots[0].type, 6000);
    EXPECT_EQ(c->snapshots[0].bytes.size(), sizeof(other_dc));
    EXPECT_EQ(dc->table_runs, 1);
    ASSERT_EQ(c->RunQueuedWork(), 1u);
    ASSERT_EQ(c->batches.size(), 1u);
    // DC_0, DC_1 and one battery check per fuse the record holds.
    ASSERT_EQ(c->batches[0].rules.size(), 6u);
    EXPECT_EQ(c->batches[0].rules[4].detail, "直流3电池熔丝故障告警");
    EXPECT_EQ(c->batches[0].rules[4].state, 1);
}

}  // namespace
