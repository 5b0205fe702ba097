// The live view's screen from restored snapshots: stale and fresh units
// marked, the active alarms listed, every line within the terminal width
// even with wide characters; and snapshots whose length disagrees with their
// own counts refused instead of read past.

#include <gtest/gtest.h>

#include <cstring>
#include <sstream>

#include "ac/tele_ac.h"
#include "dc/tele_dc.h"
#include "monitor/controller.h"
#include "monitor/event_hub.h"
#include "monitor/json_out.h"
#include "monitor/models/m520s.h"
#include "monitor/sinks/live_view.h"

namespace monitor_test {
namespace {

struct Unit : SMDSPDevice {
    Unit(uint32_t id, const char* type) {
        data_id = id;
        device_type = type;
    }
    bool LoadFromCache(const unsigned char*, int) override { return true; }
};

struct Restored : monitor::Storage {
    std::vector<monitor::SnapshotRow> rows;
    std::vector<monitor::Alarm> alarms;
    std::vector<monitor::SnapshotRow> LoadCache() override { return rows; }
    std::vector<monitor::Alarm> LoadActiveAlarms() override { return alarms; }
    uint64_t Submit(monitor::Batch) override { return 0; }
    uint64_t Committed() const override { return 0; }
};

template <class Record>
std::vector<unsigned char> Bytes(const Record& r, size_t extra = 0) {
    std::vector<unsigned char> b(sizeof r + extra, 0);
    std::memcpy(b.data(), &r, sizeof r);
    return b;
}

bool ValidUtf8(const std::string& s) {
    for (size_t i = 0; i < s.size();) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        const size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
        if (n == 0 || i + n > s.size()) return false;
        for (size_t k = 1; k < n; ++k)
            if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
        i += n;
    }
    return true;
}

TEST(LiveView, RestoredUnitsAlarmsAndWidth) {
    const auto now = boost::posix_time::second_clock::local_time();
    tele_c_m520s_ac ac{};
    ac.data_id = 11;
    ac.channel_count = 1;
    const float ia = 12.5f;
    std::memcpy(&ac.ia, &ia, 4);
    const auto old = get_ttime(now - boost::posix_time::minutes(5));
    std::memcpy(ac.time_stamp, old.data(), 7);
    tele_c_m520s_dc dc{};
    dc.data_id = 21;
    const float v = 53.25f;
    std::memcpy(&dc.v, &v, 4);
    const auto fresh = get_ttime(now);
    std::memcpy(dc.time_stamp, fresh.data(), 7);

    Restored storage;
    storage.rows = {{"t", 11, "m520s-ac", 5088, Bytes(ac, sizeof(tele_c_m520s_ac_channel))},
                    {"t", 21, "m520s-dc", 5090, Bytes(dc)}};
    monitor::Alarm a;
    a.device = 21;
    a.key = "DC_0";
    a.level = 3;
    a.name = "输出电压过低告警";
    a.detail = "输出电压过低告警输出电压过低告警";
    a.since = "2026-01-01T10:00:00";
    storage.alarms = {a};

    monitor::SiteState site(monitor::model::M520S());
    monitor::EventHub hub(site);
    auto host = std::make_shared<monitor::Controller>(storage, site, 1,
                                                      [&](monitor::Event::Body b) { hub.Emit(std::move(b)); });
    auto u11 = std::make_shared<Unit>(11, "m520s-ac");
    auto u21 = std::make_shared<Unit>(21, "m520s-dc");
    auto u1 = std::make_shared<Unit>(1, "m520s-rc");
    host->Attach({u11, u21, u1});
    monitor::LiveView view(-1, "/dev/ttyS1");
    hub.Add(&view);
    host->Restore();
    hub.Publish();

    auto screen = view.Render(100, 40, false);
    std::string all;
    for (const auto& l : screen) all += l + "\n";
    EXPECT_NE(all.find("AC panel 11  STALE"), std::string::npos) << all;
    EXPECT_NE(all.find("Ia 12.50 A"), std::string::npos) << all;
    EXPECT_NE(all.find("DC panel 21  fresh"), std::string::npos) << all;
    EXPECT_NE(all.find("U 53.25 V"), std::string::npos) << all;
    EXPECT_NE(all.find("Rectifiers 1  no data"), std::string::npos) << all;
    EXPECT_NE(all.find("Active alarms (1)"), std::string::npos) << all;
    EXPECT_NE(all.find("restore m520s-rc 1: nothing stored"), std::string::npos) << all;

    // The driver's own output is a debug line: in the log only when asked for.
    host->DriverOutput("parse 42 41: 00 00 00 00");
    monitor::LiveView debug(-1, "/dev/ttyS1", {"en", true});
    hub.Add(&debug);
    host->DriverOutput("parse 42 41: 01 02 03 04");
    std::string quiet, chatty;
    for (const auto& l : view.Render(100, 40, false)) quiet += l + "\n";
    for (const auto& l : debug.Render(100, 40, false)) chatty += l + "\n";
    EXPECT_EQ(quiet.find("parse 42 41"), std::string::npos) << quiet;
    EXPECT_NE(chatty.find("parse 42 41: 01 02 03 04"), std::string::npos) << chatty;

    // A narrow terminal: no line wider than it, none cut inside a character.
    for (bool color : {false, true}) {
        screen = view.Render(30, 12, color);
        EXPECT_LE(screen.size(), 12u);
        for (const auto& l : screen) {
            std::string plain;
            for (size_t i = 0; i < l.size(); ++i) {
                if (l[i] == '\x1b') {
                    while (i < l.size() && l[i] != 'm') ++i;
                    continue;
                }
                plain += l[i];
            }
            EXPECT_LE(monitor::DisplayWidth(plain), 30u) << plain;
            EXPECT_EQ(monitor::FitWidth(plain, 1000), plain);
            EXPECT_TRUE(ValidUtf8(plain)) << plain;
        }
    }
    EXPECT_EQ(monitor::FitWidth("交流屏1", 4), "交流");
    EXPECT_EQ(monitor::DisplayWidth("交流屏1"), 7u);
}

// Decodes as the monitor does: by the snapshot's data identifier.
std::shared_ptr<const monitor::UnitData> Decode(int type, const std::vector<unsigned char>& b, size_t len,
                                                std::string& error) {
    const auto* kind = monitor::model::M520S().UnitBySnapshot(type);
    if (!kind) return nullptr;
    return monitor::UnitData::Decode(*kind, b.data(), len, error);
}

Json::Value Values(const monitor::UnitData& u) {
    std::string s;
    monitor::JsonOut out(s);
    u.WriteValues(out);
    Json::Value v;
    std::istringstream(s) >> v;
    return v;
}

TEST(SnapshotView, LengthsThatDisagreeWithTheirCountsAreRefused) {
    tele_c_m520s_ac ac{};
    ac.channel_count = 3;
    const auto two_channels = Bytes(ac, 2 * sizeof(tele_c_m520s_ac_channel));
    std::string error;
    auto r = Decode(5088, two_channels, two_channels.size(), error);
    EXPECT_FALSE(r);
    EXPECT_EQ(error, "AC snapshot of 92 bytes, 3 channels need 122");
    EXPECT_FALSE(Decode(5090, two_channels, 185, error));
    EXPECT_FALSE(Decode(5089, two_channels, 44, error));
    EXPECT_FALSE(Decode(5091, two_channels, two_channels.size(), error));
    r = Decode(5088, two_channels, sizeof ac, error);
    EXPECT_FALSE(r);
    ac.channel_count = 0;
    const auto none = Bytes(ac);
    r = Decode(5088, none, none.size(), error);
    ASSERT_TRUE(r);
    EXPECT_EQ(Values(*r)["channels"].size(), 0u);
    EXPECT_TRUE(Values(*r)["time_stamp"].isNull());
    EXPECT_TRUE(r->Stamp().is_special());
}

}  // namespace
}  // namespace monitor_test
