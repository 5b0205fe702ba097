#include <gtest/gtest.h>

#include "device/m520s.h"
#include "tests/support/recording_controller.h"

namespace {

struct OpenM520S : M520S {
    using M520S::ac_units;
    using M520S::baud_rate;
    using M520S::dc_units;
    using M520S::model;
    using M520S::need_device_info;
    using M520S::rc_unit;
    using M520S::serial_port;
    using M520S::step;
    using M520S::supported_models;
    using M520S::version;
};

TEST(M520S, ConstructorDefaults) {
    OpenM520S m;
    EXPECT_EQ(m.DeviceType(), "m520s");
    EXPECT_EQ(m.baud_rate, 9600);
    EXPECT_EQ(m.serial_port, 1);
    EXPECT_EQ(m.version, 0x20);
    EXPECT_EQ(m.supported_models, std::vector<std::string>{"M520S"});
    EXPECT_TRUE(m.need_device_info);
    EXPECT_EQ(m.step, 0);
    EXPECT_TRUE(m.model.empty());
}

TEST(M520S, ServesNoValuesAndKeepsNoCache) {
    M520S m;
    for (const char* key : {"v", "ia", "channel_0_a", ""}) {
        try {
            m.Get_Value(0, key);
            ADD_FAILURE() << key;
        } catch (const std::out_of_range& e) {
            EXPECT_STREQ(e.what(), "数据未就绪");
        }
    }
    const unsigned char junk[3] = {1, 2, 3};
    EXPECT_TRUE(m.LoadFromCache(junk, 3));
    EXPECT_TRUE(m.LoadFromCache(nullptr, -1));
    EXPECT_TRUE(static_cast<VDeviceInterface&>(m).LoadFromCache(std::string("x")));
}

TEST(M520S, CreatesTheM520SUnitsFromItsSettings) {
    OpenM520S m;
    auto c = std::make_shared<testing_support::RecordingController>();
    m.Init(c, 100);
    Json::Value s(Json::objectValue);
    s["acSetting"][0]["data_id"] = 11;
    s["dcSetting"][0]["data_id"] = 21;
    s["rcSetting"] = Json::Value(Json::objectValue);
    ASSERT_TRUE(m.InitSetting(s));
    EXPECT_EQ(m.ac_units.at(0)->DeviceType(), "m520s-ac");
    EXPECT_EQ(m.dc_units.at(0)->DeviceType(), "m520s-dc");
    EXPECT_EQ(m.rc_unit->DeviceType(), "m520s-rc");
    EXPECT_EQ(m.rc_unit->DataId(), 100u);
    // Units are not containers.
    EXPECT_EQ(m.ac_units[0]->GetChildVDevice(11), nullptr);
    EXPECT_TRUE(m.rc_unit->GetAllChildVDevices().empty());
}

}  // namespace
