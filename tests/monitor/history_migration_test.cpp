// A database the previous release wrote, migrated in place: every row it
// held is still there, its cycles are rolled up, and the reader finds them.
// And the files the store must refuse, left as they were with nothing new
// beside them.
//
// tests/monitor/data/v1_site.db was written by the previous release
// (f7f0382, schema version 1): its m520s-monitor with --cycles 6 against
// its m520s-sim with the scenario
//   {"timeline": [{"at_cycle": 2, "set": {"ac[0].channels[0].a": 181.5,
//      "ac[0].channels[0].a_state": 1, "rectifier.modules[2].fault_state": 1}},
//    {"at_cycle": 4, "set": {"ac[0].channels[0].a": 230.5, "ac[0].channels[0].a_state": 0}}]}
// so it holds 30 history rows, 5 cache rows, 3 alarm events (two raised,
// one cleared) and one active alarm.

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <set>

#include "monitor/history.h"
#include "tests/monitor/e2e_support.h"
#include "tests/monitor/history_support.h"
#include "tests/monitor/test_support.h"

namespace monitor_test {
namespace {

const std::string kFixture = std::string(M520S_TEST_DATA) + "/v1_site.db";

// Every row of a table, its version-1 columns as text (blobs in hex).
std::vector<std::string> Dump(const std::string& db, const std::string& table, const std::string& cols) {
    sqlite3* h = nullptr;
    EXPECT_EQ(sqlite3_open_v2(db.c_str(), &h, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    sqlite3_stmt* s = nullptr;
    const std::string sql = "SELECT " + cols + " FROM " + table + " ORDER BY rowid";
    EXPECT_EQ(sqlite3_prepare_v2(h, sql.c_str(), -1, &s, nullptr), SQLITE_OK) << sqlite3_errmsg(h);
    std::vector<std::string> out;
    while (s && sqlite3_step(s) == SQLITE_ROW) {
        std::string row;
        for (int i = 0; i < sqlite3_column_count(s); ++i) {
            if (sqlite3_column_type(s, i) == SQLITE_BLOB) {
                const auto* p = static_cast<const unsigned char*>(sqlite3_column_blob(s, i));
                for (int j = 0; j < sqlite3_column_bytes(s, i); ++j) {
                    row += "0123456789abcdef"[p[j] >> 4];
                    row += "0123456789abcdef"[p[j] & 15];
                }
            } else if (const unsigned char* t = sqlite3_column_text(s, i)) {
                row += reinterpret_cast<const char*>(t);
            }
            row += '|';
        }
        out.push_back(row);
    }
    sqlite3_finalize(s);
    sqlite3_close(h);
    return out;
}

const std::vector<std::pair<std::string, std::string>> kTables = {
    {"history", "id, time, device, device_type, type, data"},
    {"cache", "device, device_type, type, time, data"},
    {"alarm_event", "id, time, device, key, detail, code, name, level, action, state, state_text"},
    {"active_alarm", "device, key, detail, code, name, level, state, state_text, since"}};

std::set<std::string> Listing(const std::string& dir) {
    std::set<std::string> out;
    for (const auto& e : std::filesystem::directory_iterator(dir)) out.insert(e.path().filename().string());
    return out;
}

TEST(Migration, AVersionOneFileOfThePreviousReleaseKeepsEveryRowAndIsRolledUp) {
    ASSERT_TRUE(std::filesystem::exists(kFixture)) << kFixture;
    TempDir dir;
    const std::string db = dir / "site.db";
    std::filesystem::copy_file(kFixture, db);
    std::map<std::string, std::vector<std::string>> before;
    for (const auto& [t, cols] : kTables) before[t] = Dump(db, t, cols);
    ASSERT_EQ(before["history"].size(), 30u);
    ASSERT_EQ(before["alarm_event"].size(), 3u);
    ASSERT_EQ(before["active_alarm"].size(), 1u);
    {
        FakeClock clock(monitor::NowMs());
        monitor::StoreOptions o = Options(clock);
        o.retention = {3650, 3650, 3650, 1024};  // the old rows stay whatever day this runs
        monitor::Store store(db, o);
        const auto notes = store.TakeNotes();
        ASSERT_EQ(notes.size(), 1u);
        EXPECT_NE(notes[0].find("migrated to schema version 2, rewritten with 1024-byte pages"), std::string::npos);
        EXPECT_EQ(store.LoadActiveAlarms().size(), 1u);
        store.Start();
        // Its cycles are rolled up by the storage thread, in the background.
        EXPECT_TRUE(Eventually(
            [&] { return Count(db, "SELECT count(DISTINCT device) FROM rollup WHERE step=60000") == 5; }));
        store.Stop();
    }
    for (const auto& [t, cols] : kTables) EXPECT_EQ(Dump(db, t, cols), before[t]) << t;
    EXPECT_EQ(Count(db, "PRAGMA user_version"), 2);
    EXPECT_EQ(Count(db, "PRAGMA auto_vacuum"), 2);
    EXPECT_EQ(Count(db, "SELECT count(*) FROM history WHERE ms IS NULL"), 30);

    // The reader finds the old cycles by their local time texts.
    const monitor::HistoryReader reader(db, M());
    monitor::HistoryQuery q;
    q.fields = {"11.channels[0].a", "1.modules[2].fault_state"};
    q.from_ms = 0;
    q.to_ms = monitor::NowMs();
    q.step = monitor::Step::Raw;
    const auto raw = reader.History(q);
    ASSERT_EQ(raw.rows.size(), 6u);
    std::multiset<double> a;
    for (const auto& r : raw.rows) a.insert(r.values[0].value_or(-1));
    EXPECT_EQ(a.count(181.5), 2u);  // the low phase, cycles 2 and 3
    EXPECT_EQ(raw.rows.back().values[1], 1.0);
    q.step = monitor::Step::Minute;
    double max_fault = 0;
    int samples = 0;
    for (const auto& r : reader.History(q).rows) {
        max_fault = std::max(max_fault, r.values[5].value_or(0));
        samples += r.values[2].has_value();
    }
    EXPECT_EQ(max_fault, 1.0);
    EXPECT_GE(samples, 1);
    const auto events = reader.Alarms({0, monitor::NowMs(), false, {}});
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[2].action, "clear");
    EXPECT_EQ(events[0].time, monitor::OffsetText(*monitor::StoredTextMs(events[0].time.substr(0, 19))));
    EXPECT_FALSE(events[0].alarm.label.empty());
}

TEST(Migration, WhatIsRefusedStaysByteForByteWithNothingNewBesideIt) {
    TempDir dir;
    const std::string newer = dir / "newer.db", foreign = dir / "foreign.db", text = dir / "notes.db";
    std::filesystem::copy_file(kFixture, newer);
    {
        sqlite3* h = nullptr;
        ASSERT_EQ(sqlite3_open(newer.c_str(), &h), SQLITE_OK);
        ASSERT_EQ(sqlite3_exec(h, "PRAGMA user_version=3", nullptr, nullptr, nullptr), SQLITE_OK);
        sqlite3_close(h);
        ASSERT_EQ(sqlite3_open(foreign.c_str(), &h), SQLITE_OK);
        ASSERT_EQ(sqlite3_exec(h, "PRAGMA journal_mode=WAL; CREATE TABLE readings(x); INSERT INTO readings VALUES(1)",
                               nullptr, nullptr, nullptr),
                  SQLITE_OK);
        sqlite3_close(h);
    }
    WriteFile(text, "these are my notes, not a database\n");
    const std::string readonly = dir / "readonly.db";
    std::filesystem::copy_file(kFixture, readonly);
    ::chmod(readonly.c_str(), 0444);
    struct Case {
        std::string path, says;
    };
    std::vector<Case> cases = {{newer, "unknown schema (version 3, this program writes version 2)"},
                               {foreign, "unknown schema (version 0, this program writes version 2)"},
                               {text, "file is not a database"}};
    // The superuser writes whatever the mode bits say.
    if (::geteuid() != 0) cases.push_back({readonly, "cannot be written (Permission denied), it must be writable"});
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        const std::string bytes = ReadFile(c.path);
        const auto listing = Listing(dir / "");
        try {
            monitor::Store s(c.path);
            ADD_FAILURE() << "opened";
        } catch (const monitor::StoreError& e) {
            EXPECT_EQ(std::string(e.what()), "database " + c.path + ": " + c.says);
        }
        try {
            monitor::HistoryReader r(c.path, M());
            if (c.path != readonly) ADD_FAILURE() << "read";
        } catch (const monitor::StoreError& e) {
            EXPECT_EQ(std::string(e.what()).rfind("database " + c.path + ": ", 0), 0u) << e.what();
        }
        EXPECT_EQ(ReadFile(c.path), bytes);
        EXPECT_EQ(Listing(dir / ""), listing);
    }
    if (::geteuid() == 0) std::cout << "[ NOTE ] read-only file not tried: the superuser may write it\n";
}

}  // namespace
}  // namespace monitor_test
