#include <gtest/gtest.h>

#include "tests/support/fake_units.h"
#include "tests/support/main_device_harness.h"

using namespace testing_support;

namespace {

using Main = MainDeviceHarness<FakeAC, FakeDC, FakeRC>;

Json::Value parse_json(const std::string& text) {
    Json::Value v;
    Json::CharReaderBuilder b;
    std::string errs;
    std::unique_ptr<Json::CharReader> r(b.newCharReader());
    EXPECT_TRUE(r->parse(text.data(), text.data() + text.size(), &v, &errs)) << errs;
    return v;
}

TEST(MainDeviceSettings, CreatesUnitsInSettingsOrderAndHandsThemOut) {
    Main m;
    m.attach(100);
    const auto s = parse_json(R"({"acSetting":[{"data_id":11},{"data_id":12,"x":1}],
                                  "dcSetting":[{"data_id":21}], "rcSetting":{"k":"v"}})");
    ASSERT_TRUE(m.InitSetting(s));

    auto all = m.GetAllChildVDevices();
    ASSERT_EQ(all.size(), 4u);
    EXPECT_EQ(all[0], m.ac_units[0]);
    EXPECT_EQ(all[1], m.ac_units[1]);
    EXPECT_EQ(all[2], m.dc_units[0]);
    EXPECT_EQ(all[3], m.rc_unit);
    EXPECT_EQ(all[0]->DataId(), 11u);
    EXPECT_EQ(all[1]->DataId(), 12u);
    EXPECT_EQ(all[2]->DataId(), 21u);
    // The rectifier group carries the main device's own id.
    EXPECT_EQ(all[3]->DataId(), 100u);

    EXPECT_EQ(m.ac_units[1]->init_setting, s["acSetting"][1]);
    EXPECT_EQ(m.rc_unit->init_setting, s["rcSetting"]);
    for (auto* u : {static_cast<FakeUnit*>(m.ac_units[0].get()), static_cast<FakeUnit*>(m.dc_units[0].get()),
                    static_cast<FakeUnit*>(m.rc_unit.get())})
        EXPECT_EQ(u->init_parent, &m);
    // Children report to the main device's controller.
    EXPECT_EQ(m.rc_unit->Controller(), m.Controller());
}

TEST(MainDeviceSettings, WithoutRectifierGroupFailsButKeepsTheOtherUnits) {
    Main m;
    m.attach();
    EXPECT_FALSE(m.InitSetting(parse_json(R"({"acSetting":[{"data_id":1}],"dcSetting":[{"data_id":2}]})")));
    EXPECT_EQ(m.ac_units.size(), 1u);
    EXPECT_EQ(m.dc_units.size(), 1u);
    auto all = m.GetAllChildVDevices();
    ASSERT_EQ(all.size(), 3u);
    EXPECT_EQ(all.back(), nullptr);

    Main n;
    EXPECT_FALSE(n.InitSetting(parse_json(R"({"rcSetting":null})")));
    ASSERT_EQ(n.GetAllChildVDevices().size(), 1u);
    EXPECT_EQ(n.GetAllChildVDevices()[0], nullptr);
}

TEST(MainDeviceSettings, FrameLayerRefusalCreatesNothing) {
    Main m;
    auto c = m.attach();
    EXPECT_FALSE(m.InitSetting(parse_json(R"({"timeout_ms":"x","acSetting":[{"data_id":1}],"rcSetting":{}})")));
    EXPECT_TRUE(m.ac_units.empty());
    EXPECT_EQ(m.rc_unit, nullptr);
    EXPECT_EQ(c->logs.size(), 1u);
}

TEST(MainDeviceSettings, ChildLookupPrefersAcAndNeverFindsTheRectifierGroup) {
    Main m;
    m.attach(100);
    ASSERT_TRUE(m.InitSetting(
        parse_json(R"({"acSetting":[{"data_id":5}],"dcSetting":[{"data_id":5},{"data_id":6}],"rcSetting":{}})")));
    EXPECT_EQ(m.GetChildVDevice(5), m.ac_units[0]);
    EXPECT_EQ(m.GetChildVDevice(6), m.dc_units[1]);
    EXPECT_EQ(m.GetChildVDevice(100), nullptr);
    EXPECT_EQ(m.GetChildVDevice(7), nullptr);
}

TEST(MainDeviceSettings, NonArrayUnitListsYieldNoUnits) {
    Main m;
    ASSERT_TRUE(m.InitSetting(parse_json(R"({"acSetting":{"data_id":1},"dcSetting":"x","rcSetting":{}})")));
    EXPECT_TRUE(m.ac_units.empty());
    EXPECT_TRUE(m.dc_units.empty());
    EXPECT_NE(m.rc_unit, nullptr);
}

TEST(MainDeviceSettings, UnreadableDataIdRaises) {
    Main m;
    EXPECT_THROW(m.InitSetting(parse_json(R"({"acSetting":[{"data_id":"abc"}],"rcSetting":{}})")),
                 Json::LogicError);
    Main n;
    EXPECT_THROW(n.InitSetting(parse_json(R"({"dcSetting":[{"data_id":-3}],"rcSetting":{}})")), Json::LogicError);
}

TEST(MainDeviceSettings, DcUnitsGetTheModelTextKnownAtCreation) {
    Main m;
    m.model = "M520S";
    ASSERT_TRUE(m.InitSetting(parse_json(R"({"dcSetting":[{"data_id":1}],"rcSetting":{}})")));
    EXPECT_EQ(m.dc_units[0]->model, "M520S");
}

}  // namespace
