#include <gtest/gtest.h>

#include <cmath>

#include <stdexcept>
#include <string>

#include "tests/dc/dc_support.h"

namespace {

using namespace dc_test;
namespace pt = boost::posix_time;

std::string refusal(const TestDC& dc, const std::string& key) {
    try {
        dc.Get_Value(0, key);
    } catch (const std::out_of_range& e) {
        return e.what();
    }
    return "served";
}

TEST(DCValues, ServedForSixtySecondsThenTimedOut) {
    Rig r;
    EXPECT_EQ(refusal(*r.dc, "v"), "数据未就绪");
    r.parse41(portion41(48.5f, 30.0f, {}, {}, {}));
    r.dc->RoundDone();
    EXPECT_EQ(r.dc->Get_Value(7, "v"), 48.5f);
    EXPECT_EQ(r.dc->Get_Value(0, "i"), 30.0f);
    EXPECT_EQ(refusal(*r.dc, "x"), "数据未就绪");

    const pt::ptime now = pt::second_clock::local_time();
    r.dc->last_update = now - pt::seconds(60);
    EXPECT_EQ(refusal(*r.dc, "v"), "served");
    r.dc->last_update = now - pt::seconds(61);
    EXPECT_EQ(refusal(*r.dc, "v"), "数据已超时");
    r.dc->last_update = now + pt::hours(1);  // clock set back: still fresh
    EXPECT_EQ(refusal(*r.dc, "i"), "served");
}

TEST(DCValues, CacheRestoresOnlyAWholeRecord) {
    Rig r(42);
    tele_c_m520s_dc cached{};
    cached.data_id = 777;
    cached.i = 12.5f;
    Bytes image(sizeof cached);
    std::memcpy(image.data(), &cached, sizeof cached);
    for (int len : {185, 187}) {
        Bytes b = image;
        b.resize(static_cast<size_t>(len));
        EXPECT_FALSE(r.dc->LoadFromCache(b.data(), len)) << len;
    }
    EXPECT_EQ(r.dc->tele.data_id, 42u);
    EXPECT_EQ(refusal(*r.dc, "i"), "数据未就绪");

    const std::string text(image.begin(), image.end());
    EXPECT_TRUE(r.dc->VDeviceInterface::LoadFromCache(text));
    EXPECT_EQ(r.dc->tele.data_id, 777u);
    EXPECT_EQ(r.dc->Get_Value(0, "i"), 12.5f);
}

TEST(DCValues, InitVTakesTheIdAndTheChangeThresholds) {
    Json::Value s;
    s["appSetting"]["diff_v"] = "0.5";
    s["appSetting"]["diff_i"] = 3;  // a number reads as its text
    Rig a(0x01020304, s);
    EXPECT_EQ(a.dc->DataId(), 0x01020304u);
    EXPECT_EQ(a.dc->tele.data_id, 0x01020304u);
    EXPECT_FLOAT_EQ(a.dc->diff_v, 0.5f);
    EXPECT_FLOAT_EQ(a.dc->diff_i, 3.0f);

    s["appSetting"] = Json::Value(Json::objectValue);
    s["appSetting"]["diff_v"] = "abc";
    Rig b(1, s);
    EXPECT_EQ(b.dc->diff_v, 0.0f);
    EXPECT_FLOAT_EQ(b.dc->diff_i, 20.0f);

    s["appSetting"] = Json::Value(Json::arrayValue);
    s["appSetting"].append("0.7");
    Rig c(1, s);
    EXPECT_FLOAT_EQ(c.dc->diff_v, 0.1f);
    EXPECT_FLOAT_EQ(c.dc->diff_i, 20.0f);

    // Beyond the float range: infinite, not undefined.
    s["appSetting"] = Json::Value(Json::objectValue);
    s["appSetting"]["diff_v"] = "-1e300";
    s["appSetting"]["diff_i"] = "1e300";
    Rig d(1, s);
    EXPECT_TRUE(std::isinf(d.dc->diff_v) && d.dc->diff_v < 0);
    EXPECT_TRUE(std::isinf(d.dc->diff_i) && d.dc->diff_i > 0);
    // No text at all: the exception reaches the host, as in the AC unit.
    s["appSetting"]["diff_i"] = Json::Value(Json::arrayValue);
    EXPECT_THROW(Rig(1, s), Json::LogicError);
}

}  // namespace
