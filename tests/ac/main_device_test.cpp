// Two AC panels inside the main device: their stretches of the AC answers
// arrive through the frame layer and the dispatch's cursor walk.

#include <gtest/gtest.h>

#include "tests/ac/ac_support.h"
#include "tests/support/fake_units.h"
#include "tests/support/main_device_harness.h"

namespace ac_test {
namespace {

using testing_support::FakeDC;
using testing_support::FakeRC;
using Main = testing_support::MainDeviceHarness<TestAC, FakeDC, FakeRC>;

Bytes model_info() {
    Bytes v{'M', '5', '2', '0', 'S'};
    v.resize(20, ' ');
    return v;
}

struct TwoPanels {
    Main m;
    std::shared_ptr<RecordingController> c = m.attach(100);

    TwoPanels() {
        Json::Value s(Json::objectValue);
        s["acSetting"][0]["data_id"] = 10;
        s["acSetting"][0]["appSetting"]["diff_v"] = "30";
        s["acSetting"][1]["data_id"] = 11;
        s["rcSetting"] = Json::Value(Json::objectValue);
        EXPECT_TRUE(m.InitSetting(s));
    }
    TestAC& ac(size_t i) { return *m.ac_units.at(i); }
    std::string last_request() const { return m.request_names().back(); }
    size_t sent() const { return m.requests().size(); }
};

Analog analog(float a) {
    Analog ch;
    ch.a = f32(a);
    return ch;
}

// INFO of the AC answers: data flag, panel count, then each panel's stretch.
Bytes ac_info(uint8_t flag, uint8_t count, const std::vector<Bytes>& portions) {
    Bytes info{flag, count};
    for (const auto& p : portions) put(info, p);
    return info;
}

TEST(AcInMainDevice, AFirstCycleFillsBothPanelsAndPublishesThem) {
    TwoPanels t;
    CoutCapture out;
    ASSERT_TRUE(t.m.RefreshStatus());
    t.m.answer(0x40, model_info());
    ASSERT_EQ(t.last_request(), "40/41 FF");

    const Bytes p1 = portion41({analog(220)}, f32(1), f32(2), f32(3));
    const Bytes p2 = portion41({analog(230), analog(231)}, f32(4), f32(5), f32(6));
    t.m.answer(0x40, ac_info(0x11, 2, {p1, p2}));
    EXPECT_EQ(t.m.step, 1);
    ASSERT_EQ(t.last_request(), "40/43 FF");
    EXPECT_EQ(out.text(), "a:220 b:221 c:219.5 f:50\na:230 b:221 c:219.5 f:50\na:231 b:221 c:219.5 f:50\n");
    ASSERT_EQ(t.ac(0).channels.size(), 1u);
    ASSERT_EQ(t.ac(1).channels.size(), 2u);
    EXPECT_FLOAT_EQ(get(&t.ac(0).tele.ic), 3.0f);
    EXPECT_FLOAT_EQ(get(&t.ac(1).channels[1].a), 231.0f);
    EXPECT_FLOAT_EQ(get(&t.ac(1).tele.ia), 4.0f);
    EXPECT_FLOAT_EQ(t.ac(0).diff_v, 30.0f);

    t.m.answer(0x40, ac_info(0, 0, {{0, 3, 1, 0, 5}, {0, 3, 2, 0, 6}}));
    EXPECT_EQ(t.m.step, 2);
    ASSERT_EQ(t.last_request(), "40/44 FF");
    EXPECT_EQ(t.ac(0).tele.p40_43_state[2], 5);
    EXPECT_EQ(t.ac(1).tele.p40_43_state[2], 6);

    const Alarm low_a{{1, 0, 0, 0}, {}, {5, 0, 0, 0, 0, 0, 0, 0}};
    const Alarm quiet{{0, 0, 0, 0}, {}, Bytes(8, 0)};
    t.m.answer(0x40, ac_info(0, 2, {portion44(1, {quiet}), portion44(2, {quiet, low_a}, {0, 2, 0})}));
    EXPECT_EQ(t.m.step, 4);
    ASSERT_EQ(t.last_request(), "41/41");
    EXPECT_EQ(t.ac(1).channels[1].a_state, 1);
    EXPECT_EQ(t.ac(1).tele.ib_alert, 2);

    t.m.answer(0x41, {0, 7});
    t.m.answer(0x41, {0, 8});
    t.m.answer(0x41, {0, 9});
    EXPECT_EQ(t.m.step, 0);  // no DC panels: the cycle ends after the rectifiers

    ASSERT_EQ(t.c->snapshots.size(), 2u);
    EXPECT_EQ(t.c->snapshots[0].type, 5088);
    EXPECT_EQ(t.c->snapshots[0].bytes.size(), 62u);
    EXPECT_EQ(t.c->snapshots[0].bytes[0], 10);
    EXPECT_EQ(t.c->snapshots[1].bytes.size(), 92u);
    EXPECT_EQ(t.c->snapshots[1].bytes[0], 11);
    EXPECT_FLOAT_EQ(t.ac(1).Get_Value(0, "channel_1_a"), 231.0f);
    EXPECT_FLOAT_EQ(t.ac(1).Get_Value(0, "ib_alert"), 2.0f);

    t.c->RunQueuedWork();
    ASSERT_EQ(t.c->batches.size(), 2u);
    EXPECT_EQ(t.c->batches[0].rules.size(), 11u + 9u + 8u);
    const auto& second = t.c->batches[1].rules;
    ASSERT_EQ(second.size(), 22u + 9u + 16u);
    EXPECT_EQ(second[11].key, "AC_0");
    EXPECT_TRUE(second[11].state);
    EXPECT_EQ(second[11].detail, "交流屏2输入线/相电压AB/A");
    EXPECT_TRUE(second[26].state);  // AC_16: phase B current above the limit
    EXPECT_EQ(second[39].detail, "第2路交流输入交流输入空开跳");
    EXPECT_TRUE(second[39].state);
    EXPECT_EQ(t.c->histories.size(), 2u);
}

TEST(AcInMainDevice, AnotherPanelCountResetsAndLeavesThePanelsAlone) {
    TwoPanels t;
    CoutCapture out;
    t.m.need_device_info = false;
    ASSERT_TRUE(t.m.RefreshStatus());
    ASSERT_EQ(t.last_request(), "40/41 FF");
    const size_t before = t.sent();

    const Bytes p = portion41({analog(220)});
    t.m.answer(0x40, ac_info(0, 3, {p, p, p}));
    EXPECT_TRUE(t.c->logged("PMBusPower:ProcotolError 100 read ac_number is 3, configured ac_number is 2"));
    EXPECT_EQ(t.m.step, 0);
    EXPECT_EQ(t.sent(), before);
    EXPECT_FALSE(t.m.IsProcessing());
    EXPECT_TRUE(t.ac(0).channels.empty());
    EXPECT_TRUE(t.ac(1).channels.empty());
    EXPECT_EQ(out.text(), "");
}

TEST(AcInMainDevice, APanelThatRefusesItsStretchDropsTheAnswer) {
    TwoPanels t;
    CoutCapture out;
    t.m.need_device_info = false;
    ASSERT_TRUE(t.m.RefreshStatus());
    t.m.answer(0x40, ac_info(0, 2, {portion41({analog(220)}), portion41({analog(230)})}));
    ASSERT_EQ(t.m.step, 1);

    // Back to the analog step, as the next cycle would be. Panel 2 now reports
    // two channels where one is fixed: the whole answer is dropped and the
    // step keeps waiting for a good 40/41.
    t.m.step = 0;
    const unsigned char group = 0xFF;
    t.m.write_pmbus_cmd(0x40, 0x41, &group, 1);
    size_t before = t.sent();
    t.m.answer(0x40, ac_info(0, 2, {portion41({analog(221)}), portion41({analog(1), analog(2)})}));
    EXPECT_EQ(t.m.step, 0);
    EXPECT_EQ(t.sent(), before);
    EXPECT_FLOAT_EQ(get(&t.ac(1).channels[0].a), 230.0f);

    // Panel 2's stretch one byte short: its overflow message names what it
    // is owed, and the answer is dropped as well.
    t.m.write_pmbus_cmd(0x40, 0x41, &group, 1);
    before = t.sent();
    Bytes info = ac_info(0, 2, {portion41({analog(222)}), portion41({analog(232)})});
    info.pop_back();
    t.m.answer(0x40, info);
    EXPECT_TRUE(t.c->logged("PMBusPowerAC:ProcotolError 11 read 40_41 read overflow 30 - 29"));
    EXPECT_EQ(t.m.step, 0);
    EXPECT_EQ(t.sent(), before);
}

TEST(AcInMainDevice, AlarmAnswerWithPanelsOfDifferentSizes) {
    TwoPanels t;
    CoutCapture out;
    t.m.need_device_info = false;
    t.m.data_valid = 1;
    ASSERT_TRUE(t.m.RefreshStatus());
    t.m.answer(0x40, ac_info(0x01, 2, {portion41({}), portion41({analog(230), analog(231)})}));
    ASSERT_EQ(t.last_request(), "40/44 FF");  // valid data, only the alarm flag set

    // Panel 1 has no channels: its stretch is the count byte and the alerts.
    const Alarm a{{0, 0, 3, 0}, {}, Bytes(8, 0)};
    t.m.answer(0x40, ac_info(0, 2, {{0, 1, 1, 1}, portion44(2, {a, a}, {3, 3, 3})}));
    EXPECT_EQ(t.m.step, 4);
    EXPECT_EQ(t.ac(0).tele.ic_alert, 1);
    EXPECT_EQ(t.ac(1).channels[1].c_state, 3);
    EXPECT_EQ(t.ac(1).tele.ia_alert, 3);
}

}  // namespace
}  // namespace ac_test
