#pragma once
// A main device with fake units, configured with a given number of AC and DC
// panels and a rectifier group.

#include <gtest/gtest.h>

#include "tests/support/fake_units.h"
#include "tests/support/main_device_harness.h"

namespace testing_support {

using FakeMain = MainDeviceHarness<FakeAC, FakeDC, FakeRC>;

inline std::unique_ptr<FakeMain> make_fake_main(int ac, int dc, std::shared_ptr<RecordingController>* ctl = nullptr,
                                                bool with_rc = true) {
    auto m = std::make_unique<FakeMain>();
    auto c = m->attach(100);
    if (ctl) *ctl = c;
    Json::Value s(Json::objectValue);
    for (int i = 0; i < ac; ++i) s["acSetting"][i]["data_id"] = 10 + i;
    for (int i = 0; i < dc; ++i) s["dcSetting"][i]["data_id"] = 20 + i;
    if (with_rc) s["rcSetting"] = Json::Value(Json::objectValue);
    EXPECT_EQ(m->InitSetting(s), with_rc);
    for (int i = 0; i < ac; ++i) m->ac_units[i]->label = "AC" + std::to_string(i + 1);
    for (int i = 0; i < dc; ++i) m->dc_units[i]->label = "DC" + std::to_string(i + 1);
    if (m->rc_unit) m->rc_unit->label = "RC";
    FakeUnit::events().clear();
    return m;
}

}  // namespace testing_support
