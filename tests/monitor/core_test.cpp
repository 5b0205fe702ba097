// The monitor's core pieces where the end-to-end tests cannot look closely:
// lines written without jsoncpp read exactly as jsoncpp wrote them, field
// paths, and site snapshots that a reader on another thread holds while the
// poll thread goes on.

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <thread>

#include <fmt/format.h>
#include <json/json.h>

#include "dc/tele_dc.h"
#include "monitor/json_out.h"
#include "monitor/models/catalogue.h"
#include "monitor/models/m520s.h"
#include "monitor/site_state.h"

namespace monitor_test {
namespace {

// How the lines used to be written: jsoncpp, 15 digits, UTF-8 as it stands,
// a float as the double of its shortest decimal.
std::string Jsoncpp(const Json::Value& v) {
    Json::StreamWriterBuilder b;
    b["indentation"] = "";
    b["emitUTF8"] = true;
    b["precision"] = 15;
    return Json::writeString(b, v);
}

Json::Value FloatAsBefore(float f) {
    if (!std::isfinite(f)) return Json::Value();
    return Json::Value(std::strtod(fmt::format("{}", f).c_str(), nullptr));
}

TEST(JsonOut, WritesWhatJsoncppWrote) {
    std::mt19937 rng(7);
    std::vector<float> floats{0.0f, -0.0f, 1.0f, -1.5f, 230.1f, 49.98533f, 1e-5f, 1.5e-5f, 0.0001f, 123456789.0f,
                              1e15f, 9.99e14f, 1e20f, 3.4028235e38f, 1.4e-45f, 1.17549435e-38f, 16777216.0f,
                              std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity()};
    for (int i = 0; i < 20000; ++i) {
        uint32_t bits = rng();
        float f;
        std::memcpy(&f, &bits, 4);
        floats.push_back(f);
        floats.push_back(static_cast<float>(std::uniform_real_distribution<double>(-1000, 1000)(rng)));
    }
    for (float f : floats) {
        std::string ours;
        monitor::AppendFloat(ours, f);
        ASSERT_EQ(ours, Jsoncpp(FloatAsBefore(f))) << fmt::format("{}", f);
    }
    for (double d : {0.5, 1e300, -2.25e-9, 42.0, 1234567890123456789.0}) {
        std::string ours;
        monitor::AppendDouble(ours, d);
        EXPECT_EQ(ours, Jsoncpp(Json::Value(d)));
    }
    // Texts: quotes, backslashes, every control character, UTF-8 and bytes that are none.
    std::string text = "a\"b\\c/d 交流屏1 \x7f\xff\xc3";
    for (char c = 1; c < 0x20; ++c) text += c;
    text += std::string(1, '\0') + "end";
    std::string ours;
    monitor::JsonOut o(ours);
    o.Begin().Field("k\n", text).Field("n", int64_t{-3}).Field("u", uint64_t{18446744073709551615u});
    o.Field("b", true).Key("z").Null().Key("l").List().Str("").UInt(1).EndList().End();
    Json::Value v(Json::objectValue);
    v["k\n"] = text;
    v["n"] = -3;
    v["u"] = Json::UInt64(18446744073709551615u);
    v["b"] = true;
    v["z"] = Json::Value();
    v["l"].append("");
    v["l"].append(1);
    // jsoncpp sorts keys; ours are written in the order given, here sorted too.
    std::string sorted;
    monitor::JsonOut s(sorted);
    s.Begin().Field("b", true).Field("k\n", text).Key("l").List().Str("").UInt(1).EndList();
    s.Field("n", int64_t{-3}).Field("u", uint64_t{18446744073709551615u}).Key("z").Null().End();
    EXPECT_EQ(sorted, Jsoncpp(v));
}

TEST(FieldPaths, ResolveAndExpandAsTheCycleLineNamesThem) {
    const auto& m = monitor::model::M520S();
    const auto* ac = m.Unit("m520s-ac");
    const auto* dc = m.Unit("m520s-dc");
    ASSERT_TRUE(ac && dc);
    auto p = monitor::SplitPath("11.channels[0].a");
    ASSERT_TRUE(p);
    EXPECT_EQ(p->device, 11u);
    auto f = monitor::ResolvePath(*ac, p->device, p->rest);
    ASSERT_TRUE(f);
    EXPECT_EQ(f->path, "11.channels[0].a");
    EXPECT_EQ(f->item, 0);
    EXPECT_EQ(f->label.rfind("AC panel 11, channel 1, ", 0), 0u) << f->label;
    f = monitor::ResolvePath(*dc, 21, "user_p[19]");
    ASSERT_TRUE(f);
    EXPECT_EQ(f->element, 19u);
    for (const char* bad : {"user_p", "user_p[20]", "v[0]", "nothing", "time_stamp", "channels[0].a", "v.", "v[x]"})
        EXPECT_FALSE(monitor::ResolvePath(*dc, 21, bad)) << bad;
    for (const char* bad : {"channels[256].a", "channels.a", "channels[0]", "channels[0].nothing"})
        EXPECT_FALSE(monitor::ResolvePath(*ac, 11, bad)) << bad;
    for (const char* bad : {"", "11", ".a", "x.a", "11."}) EXPECT_FALSE(monitor::SplitPath(bad)) << bad;

    // Expanded for a unit: lists up to their counts, and every path resolves back.
    tele_c_m520s_dc rec{};
    rec.dc_m = 1;
    rec.p_count = 25;  // more than the room: the room bounds it
    std::vector<unsigned char> bytes(sizeof rec);
    std::memcpy(bytes.data(), &rec, sizeof rec);
    std::string error;
    const auto data = monitor::UnitData::Decode(*dc, bytes.data(), bytes.size(), error);
    ASSERT_TRUE(data) << error;
    size_t battery = 0, user = 0;
    for (const auto& e : monitor::UnitFields(*dc, 21, data.get())) {
        battery += e.field->name == std::string("dc_m_value");
        user += e.field->name == std::string("user_p");
        const auto again = monitor::ResolvePath(*dc, 21, monitor::SplitPath(e.path)->rest);
        ASSERT_TRUE(again) << e.path;
        EXPECT_EQ(again->label, e.label);
    }
    EXPECT_EQ(battery, 1u);
    EXPECT_EQ(user, 20u);
}

TEST(SiteState, ReadersKeepTheirSnapshotWhileThePollThreadGoesOn) {
    monitor::SiteState site(monitor::model::M520S());
    std::atomic<bool> done{false};
    std::atomic<uint64_t> checked{0};
    // Every snapshot a reader sees is whole: its units agree with its version.
    std::thread reader([&] {
        uint64_t last = 0;
        while (!done) {
            const auto s = site.Current();
            EXPECT_GE(s->version, last);
            last = s->version;
            EXPECT_EQ(s->units.size(), s->link.cycles % 5);
            for (const auto& u : s->units) EXPECT_EQ(u.device, s->link.cycles);
            ++checked;
        }
    });
    const auto held = site.Current();
    for (uint64_t n = 1; n <= 2000; ++n) {
        auto& e = site.Edit();
        e.link.cycles = n;
        monitor::UnitState u;
        u.device = static_cast<uint32_t>(n);
        e.units.assign(n % 5, u);
        site.Publish();
    }
    while (checked < 100) std::this_thread::yield();
    done = true;
    reader.join();
    EXPECT_EQ(held->link.cycles, 0u);  // never changed once published
    EXPECT_EQ(site.Current()->link.cycles, 2000u);
}

}  // namespace
}  // namespace monitor_test
