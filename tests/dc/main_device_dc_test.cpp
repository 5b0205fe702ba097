#include <gtest/gtest.h>

#include "dc/m520s_dc.h"
#include "tests/dc/dc_support.h"
#include "tests/support/fake_units.h"
#include "tests/support/main_device_harness.h"

namespace {

using namespace dc_test;
using namespace testing_support;

using Main = MainDeviceHarness<FakeAC, M520SDC, FakeRC>;

struct Plant {
    std::unique_ptr<Main> m = std::make_unique<Main>();
    std::shared_ptr<RecordingController> ctl = m->attach(100);

    explicit Plant(int dc) {
        Json::Value s(Json::objectValue);
        for (int k = 0; k < dc; ++k) s["dcSetting"][k]["data_id"] = 20 + k;
        s["rcSetting"] = Json::Value(Json::objectValue);
        EXPECT_TRUE(m->InitSetting(s));
        m->need_device_info = false;
    }
    // The DC part of a cycle, from the analog answer to the completion.
    void dc_answers(const Bytes& info41, const Bytes& info44) {
        m->step = 7;
        m->write_pmbus_cmd(0x42, 0x41);
        m->answer(0x42, info41);
        EXPECT_EQ(m->step, 8);
        m->answer(0x42, info44);
        EXPECT_EQ(m->step, 9);
        m->answer(0x42, {0});
        EXPECT_EQ(m->step, 0);
    }
    const Bytes& snapshot_of(size_t unit) const { return ctl->snapshots.at(unit).bytes; }
};

Bytes info(unsigned char flag, unsigned char count, const std::vector<Bytes>& portions) {
    Bytes b{flag, count};
    for (const auto& p : portions) put(b, p);
    return b;
}

TEST(MainDeviceDC, TwoPanelsShareOneAnswerEach) {
    Plant p(2);
    EXPECT_EQ(p.m->dc_units[1]->DeviceType(), "m520s-dc");
    testing::internal::CaptureStdout();
    EXPECT_TRUE(p.m->RefreshStatus());  // no AC panels: rectifiers first
    p.m->answer(0x41, {0, 1});
    p.m->answer(0x41, {0, 1});
    p.m->answer(0x41, {0, 1});
    EXPECT_EQ(p.m->request_names().back(), "42/41");

    Bytes states(71, 0);
    states[0] = 3;
    p.dc_answers(info(0, 2, {portion41(53.5f, 10.0f, {1, 2}, {}, {}),
                             portion41(54.0f, 20.0f, {}, {}, {testing_support::f32(7.5f)})}),
                 info(0, 2, {portion44(2, {0, 3}, states), portion44(0, {}, Bytes(71, 0))}));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "parse 42 41: 0 0 56 42\nparse 42 41: 0 0 58 42\n");
    EXPECT_TRUE(p.ctl->logs.empty());

    EXPECT_EQ(p.m->dc_units[0]->Get_Value(0, "v"), 53.5f);
    EXPECT_EQ(p.m->dc_units[1]->Get_Value(0, "i"), 20.0f);
    ASSERT_EQ(p.ctl->snapshots.size(), 2u);
    EXPECT_EQ(p.ctl->snapshots[1].type, 5090);
    EXPECT_EQ(as_bits(p.snapshot_of(0).data()), 20u);
    EXPECT_EQ(as_bits(p.snapshot_of(1).data()), 21u);
    EXPECT_EQ(as_float(p.snapshot_of(1).data() + 23), 7.5f);  // user_p[0]

    // One batch per DC unit, in list order.
    EXPECT_EQ(p.ctl->RunQueuedWork(), 2u);
    ASSERT_EQ(p.ctl->batches.size(), 2u);
    const auto& first = p.ctl->batches[0].rules;
    ASSERT_EQ(first.size(), 4u + 55u);
    EXPECT_EQ(first[1].state, 1);  // DC_1: v_state 2
    EXPECT_EQ(first[3].state, 1);  // DC_3 battery 2
    EXPECT_EQ(first[4].state, 1);  // M520S_DC_0
    EXPECT_EQ(p.ctl->batches[1].rules.size(), 2u + 55u);
    EXPECT_EQ(p.ctl->histories.size(), 2u);
}

// With more than three panels the controller's first portion starts at the
// count byte; the walk must still hand every unit its own bytes.
TEST(MainDeviceDC, FourPanelsWalkFromTheCountByte) {
    Plant p(4);
    Bytes first = portion41(0, 5.0f, {}, {}, {});
    first[0] = 4;  // the count byte doubles as the first byte of unit 1's v
    std::vector<Bytes> rest;
    for (int k = 2; k <= 4; ++k) rest.push_back(portion41(50.0f + k, 0, {}, {}, {}));
    Bytes i41{0x00};
    put(i41, first);
    for (const auto& r : rest) put(i41, r);
    testing::internal::CaptureStdout();
    p.dc_answers(i41, info(0, 4, std::vector<Bytes>(4, portion44(0, {}, Bytes(71, 0)))));
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "parse 42 41: 4 0 0 0\nparse 42 41: 0 0 50 42\nparse 42 41: 0 0 54 42\nparse 42 41: 0 0 58 42\n");
    EXPECT_TRUE(p.ctl->logs.empty());
    ASSERT_EQ(p.ctl->snapshots.size(), 4u);
    EXPECT_EQ(as_bits(p.snapshot_of(0).data() + 4), 4u);
    EXPECT_EQ(as_float(p.snapshot_of(0).data() + 8), 5.0f);
    for (size_t k = 1; k < 4; ++k) EXPECT_EQ(as_float(p.snapshot_of(k).data() + 4), 51.0f + k);
}

TEST(MainDeviceDC, AShortPortionDropsTheAnswer) {
    Plant p(2);
    Bytes i41 = info(0, 2, {portion41(1, 2, {}, {}, {}), portion41(3, 4, {}, {}, {})});
    i41.pop_back();
    p.m->step = 7;
    p.m->write_pmbus_cmd(0x42, 0x41);
    testing::internal::CaptureStdout();
    p.m->answer(0x42, i41);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(p.m->step, 7);
    ASSERT_EQ(p.ctl->logs.size(), 1u);
    EXPECT_EQ(p.ctl->logs[0], "PMBusPowerAC:ProcotolError 21 read 42_41 read overflow 11 - 10");
}

}  // namespace
