// The reader the subcommands and the API use, on what the store wrote: raw
// cycles, minutes and hours against sums the test makes itself, alarm
// events; the fields, times and ranges it refuses; the texts and formats.

#include <gtest/gtest.h>

#include <cmath>
#include <map>

#include "monitor/history.h"
#include "tests/monitor/e2e_support.h"
#include "tests/monitor/history_support.h"
#include "tests/monitor/test_support.h"

namespace monitor_test {
namespace {

const int64_t kT0 = monitor::ParseTime("2026-03-01T10:00:00Z", 0);
constexpr int64_t kMin = 60'000, kHour = 3'600'000, kDay = 86'400'000;

int State(int k) { return k % 50 == 7 ? 2 : 0; }
bool Fresh(int k) { return k % 13 != 5; }

// A cycle every 10 s for 2 h 10 min; an alarm raised and cleared, another left active.
void Fill(const std::string& path, FakeClock& clock) {
    monitor::StoreOptions o = Options(clock);
    o.hold_ms = INT64_MAX / 4;
    monitor::Store store(path, o);
    store.Start();
    for (int k = 0; k < 780; ++k) {
        clock.ms = kT0 + 10'000 * k;
        monitor::Batch b = Cycle(clock.ms, V(k), F(k), State(k), Fresh(k));
        if (k == 100 || k == 200)
            b.alarms.push_back(Change(k == 100 ? "raise" : "clear", "DC_0", monitor::StoredText(kT0 + 1'000'000)));
        if (k == 300) b.alarms.push_back(Change("raise", "DC_7", b.time));
        store.Submit(std::move(b));
    }
    store.Stop();
    EXPECT_TRUE(store.TakeErrors().empty());
}

std::vector<monitor::HistoryTable::Row> Rows(const monitor::HistoryReader& r, std::vector<std::string> fields,
                                             int64_t from, int64_t to, monitor::Step step) {
    monitor::HistoryQuery q;
    q.fields = std::move(fields);
    q.from_ms = from;
    q.to_ms = to;
    q.step = step;
    const auto t = r.History(q);
    EXPECT_EQ(t.step, step);
    return t.rows;
}

void ExpectFigures(const monitor::HistoryTable::Row& row, size_t at, const Figures& f, bool stats) {
    if (f.count == 0) {
        EXPECT_FALSE(row.values[at + 2]);
        return;
    }
    ASSERT_TRUE(row.values[at + 2]);
    EXPECT_EQ(*row.values[at + 2], f.max);
    if (!stats) {
        EXPECT_FALSE(row.values[at] || row.values[at + 1]);
        return;
    }
    EXPECT_EQ(row.values[at], f.min);
    EXPECT_NEAR(row.values[at + 1].value_or(NAN), f.sum / f.count, 1e-5);
}

// Two hours and ten minutes of cycles, stored once for the tests here.
class HistoryQuery : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir = new TempDir;
        FakeClock clock(kT0);
        Fill(*dir / "site.db", clock);
    }
    static void TearDownTestSuite() { delete dir; }
    static TempDir* dir;
    const monitor::HistoryReader reader{*dir / "site.db", M()};
};
TempDir* HistoryQuery::dir = nullptr;

TEST_F(HistoryQuery, RawMinutesAndHoursAgreeWithTheCycles) {
    // Raw: every cycle, fresh or not, at its cycle's time, two units on one row.
    const auto raw = Rows(reader, {"21.v", "11.channels[1].f"}, kT0, kT0 + 30 * kMin, monitor::Step::Raw);
    ASSERT_EQ(raw.size(), 181u);
    for (int k = 0; k <= 180; ++k) {
        EXPECT_EQ(raw[k].time_ms, kT0 + 10'000 * k);
        EXPECT_EQ(raw[k].values[0], V(k));
        EXPECT_EQ(raw[k].values[1], static_cast<float>(F(k)));
    }

    // Minutes and hours: the fresh values only; a state keeps its max.
    for (const auto& [step, width] : {std::pair{monitor::Step::Minute, kMin}, std::pair{monitor::Step::Hour, kHour}}) {
        std::map<int64_t, std::pair<Figures, Figures>> expect;
        for (int k = 0; k < 780; ++k) {
            auto& e = expect[(kT0 + 10'000 * k) / width * width];
            if (!Fresh(k)) continue;
            e.first.Add(V(k));
            e.second.Add(State(k));
        }
        const auto rows = Rows(reader, {"21.v", "21.v_state"}, kT0, kT0 + 3 * kHour, step);
        ASSERT_EQ(rows.size(), expect.size());
        size_t i = 0;
        for (const auto& [start, e] : expect) {
            SCOPED_TRACE(monitor::OffsetText(start));
            EXPECT_EQ(rows[i].time_ms, start);
            ExpectFigures(rows[i], 0, e.first, true);
            ExpectFigures(rows[i], 3, e.second, false);
            ++i;
        }
    }
}

TEST_F(HistoryQuery, AutoStepsLimitsUnknownFieldsAndAlarms) {
    monitor::HistoryQuery q{{"21.v"}, kT0, kT0 + 7 * kHour, monitor::Step::Auto, 0};
    EXPECT_EQ(reader.History(q).step, monitor::Step::Minute);
    q.step = monitor::Step::Raw;
    q.max_rows = 100;
    EXPECT_THROW(reader.History(q), monitor::QueryError);

    for (const auto& [path, says] : std::vector<std::pair<std::string, std::string>>{
             {"21.nope", "unknown field 21.nope: DC 21 has no value nope"},
             {"99.v", "unknown field 99.v: no device 99 in this database"},
             {"11.channels[3].a[0]", "unknown field 11.channels[3].a[0]"},
             {"v", "unknown field v: a field is a device id"}}) {
        q.fields = {"21.v", path};
        try {
            reader.History(q);
            ADD_FAILURE() << path;
        } catch (const monitor::QueryError& e) {
            EXPECT_EQ(std::string(e.what()).rfind(says, 0), 0u) << e.what();
        }
    }

    // Alarm events in their range, with labels; the one still active.
    const auto events = reader.Alarms({kT0, kT0 + 3 * kHour, false, {}});
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0].action, "raise");
    EXPECT_EQ(events[0].time_ms, kT0 + 1'000'000);
    EXPECT_EQ(events[1].action, "clear");
    EXPECT_EQ(events[0].alarm.label.empty(), false);
    EXPECT_TRUE(reader.Alarms({kT0, kT0 + 999'999, false, {}}).empty());
    EXPECT_TRUE(reader.Alarms({kT0, kT0 + 3 * kHour, false, 2}).empty());
    const auto active = reader.Alarms({0, 0, true, {}});
    ASSERT_EQ(active.size(), 1u);
    EXPECT_EQ(active[0].alarm.key, "DC_7");
    EXPECT_EQ(active[0].time_ms, kT0 + 3'000'000);
    EXPECT_EQ(active[0].action, "");
}

TEST(HistoryText, TimesStepsAndFormats) {
    const int64_t now = 1'790'000'000'000;
    EXPECT_EQ(monitor::ParseTime("now", now), now);
    EXPECT_EQ(monitor::ParseTime("-30m", now), now - 1'800'000);
    EXPECT_EQ(monitor::ParseTime("-24h", now), now - 86'400'000);
    EXPECT_EQ(monitor::ParseTime("-7d", now), now - 7 * 86'400'000LL);
    EXPECT_EQ(monitor::ParseTime("2026-12-09T01:11:36Z", now), 1'796'778'696'000);
    EXPECT_EQ(monitor::ParseTime("2026-12-09T02:11:36.250+01:00", now), 1'796'778'696'250);
    EXPECT_EQ(monitor::ParseTime("2026-12-08T20:41:36-0430", now), 1'796'778'696'000);
    const auto local = monitor::ParseTime("2026-12-09 01:11", now);
    EXPECT_EQ(monitor::OffsetText(local).substr(0, 19), "2026-12-09T01:11:00");
    EXPECT_EQ(monitor::ParseTime("2026-12-09", now), monitor::ParseTime("2026-12-09T00:00:00", now));
    for (const char* bad : {"", "yesterday", "-5", "-5y", "2026-13-01", "2026-12-09T25:00", "2026-12-09T01:00+1",
                            "2026-12-09T01:00:00Zjunk", "--5m"}) {
        try {
            monitor::ParseTime(bad, now);
            ADD_FAILURE() << bad;
        } catch (const monitor::QueryError& e) {
            EXPECT_NE(std::string(e.what()).find(std::string("\"") + bad + "\""), std::string::npos) << e.what();
        }
    }
    EXPECT_EQ(monitor::ParseStep("1m"), monitor::Step::Minute);
    EXPECT_STREQ(monitor::StepName(monitor::ParseStep("1h")), "1h");
    EXPECT_THROW(monitor::ParseStep("5m"), monitor::QueryError);
    EXPECT_EQ(monitor::AutoStep(0, 6 * 3'600'000), monitor::Step::Raw);
    EXPECT_EQ(monitor::AutoStep(0, 6 * 3'600'000 + 1), monitor::Step::Minute);
    EXPECT_EQ(monitor::AutoStep(0, 10 * 86'400'000LL + 1), monitor::Step::Hour);

    monitor::HistoryTable t;
    t.fields = {"21.v", "21.v_state"};
    t.info = {{"", "V", monitor::model::Kind::Measurement, 2, false}, {"", "", monitor::model::Kind::State, 0, true}};
    t.step = monitor::Step::Minute;
    t.rows = {{0, {53.5, 53.75, 54.25, std::nullopt, std::nullopt, 2.0}}, {60'000, {230.1f, 0.1, 1, {}, {}, {}}}};
    const std::string csv = monitor::HistoryCsv(t);
    const std::string t0 = monitor::OffsetText(0), t1 = monitor::OffsetText(60'000);
    EXPECT_EQ(csv, "time,21.v:min,21.v:mean,21.v:max,21.v_state:min,21.v_state:mean,21.v_state:max\n" + t0 +
                       ",53.5,53.75,54.25,,,2\n" + t1 + ",230.1,0.1,1.0,,,\n");
    EXPECT_EQ(monitor::HistoryJson(t), R"({"fields":["21.v","21.v_state"],"rows":[[")" + t0 +
                                           R"(",53.5,53.75,54.25,null,null,2],[")" + t1 +
                                           R"(",230.1,0.1,1.0,null,null,null]],"step":"1m"})" + "\n");
    monitor::AlarmRow a{"2026-12-09T01:11:36+00:00", 0, "raise", {}};
    a.alarm.device = 21;
    a.alarm.key = "DC_0";
    a.alarm.name = "low, \"very\"";
    EXPECT_EQ(monitor::AlarmsCsv({a}), "time,action,device,key,detail,code,name,level,state,state_text,label\n"
                                       "2026-12-09T01:11:36+00:00,raise,21,DC_0,,,\"low, \"\"very\"\"\",0,0,,\n");
}

}  // namespace
}  // namespace monitor_test
