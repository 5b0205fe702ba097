// What a fake clock's days do to retention, the size budget and the file;
// and a disk that fills up or a database another program holds locked.

#include <gtest/gtest.h>
#include <sqlite3.h>

#include "monitor/sqlite_util.h"
#include "tests/monitor/e2e_support.h"
#include "tests/monitor/history_support.h"
#include "tests/monitor/test_support.h"

namespace monitor_test {
namespace {

constexpr int64_t kT0 = 1'772'359'200'000;  // 2026-03-01T10:00:00Z
constexpr int64_t kMin = 60'000, kDay = 86'400'000;

int64_t Pragma(const std::string& db, const std::string& name) { return Count(db, "PRAGMA " + name); }

TEST(HistoryStore, RetentionKeepsItsAgesTheBudgetHoldsAndTheFileShrinks) {
    TempDir dir;
    const std::string db = dir / "ages.db";
    FakeClock clock(kT0);
    monitor::StoreOptions o = Options(clock);
    o.hold_ms = INT64_MAX / 4;
    o.retention = {1, 2, 3, 16};
    {
        monitor::Store store(db, o);
        store.Start();
        // Five days, a cycle a minute.
        for (int k = 0; k < 7200; ++k) {
            clock.ms = kT0 + k * kMin;
            store.Submit(Cycle(clock.ms, V(k), F(k), 0, true));
        }
        // A lull (no cycle for a commit window and 10 s): the steps of their own run.
        const int64_t last = clock.ms;
        clock.ms = last + 30'000;
        const int64_t now = clock.ms;
        auto count = [&](const std::string& sql) { return Count(db, sql); };
        const std::string raw = "SELECT count(*) FROM history";
        const std::string minutes = "SELECT count(*) FROM rollup WHERE step=60000";
        const std::string hours = "SELECT count(*) FROM rollup WHERE step=3600000";
        // Once idle it prunes: a day of cycles, the open minute not yet rolled up, closed hours.
        EXPECT_TRUE(Eventually([&] {
            return count(raw) == 2 * 1440 && count(minutes) == 2 * 2879 && count(hours) == 2 * 71 &&
                   Pragma(db, "freelist_count") <= 1024;
        })) << count(raw) << " " << count(minutes) << " " << count(hours) << " free " << Pragma(db, "freelist_count");
        EXPECT_EQ(count("SELECT min(ms) FROM history"), last - kDay + kMin);
        EXPECT_GE(count("SELECT min(start_ms) FROM rollup WHERE step=60000"), now - 2 * kDay);
        EXPECT_GE(count("SELECT min(start_ms) FROM rollup WHERE step=3600000"), now - 3 * kDay);
        // Two days on, the cycles and minutes are gone, and the file gives their pages back.
        const int64_t before = Pragma(db, "page_count");
        clock.ms = last + 2 * kDay;
        EXPECT_TRUE(Eventually([&] {
            return count(raw) == 0 && count(minutes) == 2 && Pragma(db, "page_count") < before - 900 &&
                   Pragma(db, "freelist_count") <= 1024;
        })) << before << " -> " << Pragma(db, "page_count") << " pages, " << count(raw) << " cycles";
        // Each kind of step that did this is counted, for the benchmark's times.
        const auto kinds = store.Stats().by_kind;
        for (const char* k : {"raw", "minutes", "hours", "shrink"})
            EXPECT_GT(kinds.count(k) ? kinds.at(k).n : 0u, 0u) << k;
        store.Stop();
    }
    // A budget of 1 MiB holds however much comes: the oldest cycles go first.
    const std::string small = dir / "budget.db";
    o.retention = {7, 30, 1825, 1};
    monitor::Store store(small, o);
    store.Start();
    for (int k = 0; k < 6000; ++k) {
        clock.ms = kT0 + k * 10'000;
        store.Submit(Cycle(clock.ms, V(k), F(k), 0, true));
    }
    store.Stop();
    for (const auto& e : store.TakeErrors()) ADD_FAILURE() << e;
    EXPECT_LE(Pragma(small, "page_count") * Pragma(small, "page_size"), 1 << 20);
    EXPECT_EQ(Count(small, "SELECT max(ms) FROM history"), clock.ms);
    EXPECT_GT(Count(small, "SELECT min(ms) FROM history"), kT0 + 1000 * 10'000);
    // The newest cycles without a hole; how many depends on where the last 1000-row chunk fell.
    const int64_t kept = Count(small, "SELECT count(*) FROM history");
    EXPECT_EQ(kept, 2 * Count(small, "SELECT (max(ms) - min(ms)) / 10000 + 1 FROM history"));
    EXPECT_GE(kept, 500);
}

// While cycles come, closed minutes go with their commits, not in steps of their own.
TEST(HistoryStore, WhileCyclesComeMinutesGoWithTheirCommits) {
    TempDir dir;
    FakeClock clock(kT0);
    monitor::Store store(dir / "flow.db", Options(clock));
    store.Start();
    for (int k = 0; k < 200; ++k) {  // ten minutes, each cycle stored before the next comes
        clock.ms = kT0 + k * 3000;
        const uint64_t tag = store.Submit(Cycle(clock.ms, V(k), F(k), 0, true));
        ASSERT_TRUE(Eventually([&] { return store.Committed() == tag; })) << k;
    }
    EXPECT_EQ(store.Stats().by_kind.count("rollups"), 0u);
    EXPECT_EQ(Count(dir / "flow.db", "SELECT count(*) FROM rollup WHERE step=60000"), 2 * 9);
}

// A second connection that holds the write lock, as another program would.
struct Locker {
    sqlite3* h = nullptr;
    explicit Locker(const std::string& db) {
        EXPECT_EQ(sqlite3_open(db.c_str(), &h), SQLITE_OK);
        sqlite3_busy_timeout(h, 10000);  // waits out a step the store is in
        EXPECT_EQ(sqlite3_exec(h, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(h);
    }
    ~Locker() {
        sqlite3_exec(h, "ROLLBACK", nullptr, nullptr, nullptr);
        sqlite3_close(h);
    }
};

struct Failing {
    TempDir dir;
    const std::string db = dir / "site.db";
    FakeClock clock{kT0};
    monitor::Store store{db, [this] {
                             monitor::StoreOptions o = Options(clock);
                             o.hold_ms = 60'000;
                             return o;
                         }()};
    uint64_t Submit(int k, bool alarm) {
        clock.ms = kT0 + 10'000 * k;
        monitor::Batch b = Cycle(clock.ms, V(k), F(k), 0, true);
        if (alarm) b.alarms.push_back(Change("raise", "DC_0", b.time));
        return store.Submit(std::move(b));
    }
};

// Full: not a page more, until the limit is lifted.
void FullThenRecovered(Failing& t) {
    monitor::Store& store = t.store;
    const std::string& db = t.db;
    for (int k = 0; k < 3; ++k) t.Submit(k, false);
    ASSERT_TRUE(Eventually([&] { return store.Committed() == 3; }));

    // Cycle 3 carries an alarm, and a unit of many modules that needs pages.
    store.SetPageLimit(Pragma(db, "page_count"));
    {
        t.clock.ms = kT0 + 30'000;
        monitor::Batch b = Cycle(t.clock.ms, V(3), F(3), 0, true);
        b.alarms.push_back(Change("raise", "DC_0", b.time));
        b.history.push_back({b.time, 1, "m520s-rc", 5089, SnapshotMaker(Kind("m520s-rc"), 1, 100).bytes, true});
        store.Submit(std::move(b));
    }
    ASSERT_TRUE(Eventually([&] { return !store.Status().ok; }))
        << Pragma(db, "page_count") << " " << Pragma(db, "freelist_count");
    EXPECT_EQ(store.Status().reason, "database or disk is full");
    std::vector<uint64_t> dropped;
    for (int k = 4; k <= 12; ++k) {
        t.Submit(k, false);
        for (uint64_t t : store.Progress().dropped) dropped.push_back(t);
    }
    // Older than a minute: cycles 3, 4 and 5 went (tags 4 to 6), the alarm stayed queued.
    EXPECT_EQ(dropped, (std::vector<uint64_t>{4, 5, 6}));
    EXPECT_EQ(store.Status().held, 7u);
    EXPECT_EQ(store.Status().dropped, 3u);
    EXPECT_EQ(store.Committed(), 3u);
    store.SetPageLimit(0);
    ASSERT_TRUE(Eventually([&] { return store.Committed() == 13 && store.Status().ok; }));
    EXPECT_EQ(Count(db, "SELECT count(*) FROM history"), 2 * (3 + 7));
    EXPECT_EQ(Count(db, "SELECT count(*) FROM alarm_event WHERE action='raise' AND key='DC_0'"), 1);
    EXPECT_EQ(Count(db, "SELECT count(*) FROM history WHERE ms=" + std::to_string(kT0 + 30'000)), 0);
    EXPECT_EQ(Count(db, "SELECT count(*) FROM history WHERE device=1"), 0);
}

TEST(HistoryStore, AFullOrLockedDatabaseHoldsCyclesDropsTheOldestKeepsAlarmsAndRecovers) {
    Failing t;
    monitor::Store& store = t.store;
    const std::string& db = t.db;
    store.Start();
    FullThenRecovered(t);
    if (HasFatalFailure()) return;

    // Locked by another program: held until it lets go.
    {
        Locker other(db);
        t.Submit(13, false);
        ASSERT_TRUE(Eventually([&] { return store.Status().reason == "database is locked"; }));
        EXPECT_EQ(store.Committed(), 13u);
    }
    ASSERT_TRUE(Eventually([&] { return store.Committed() == 14 && store.Status().ok; }));

    // Still locked at stop: a few tries, then what was not written is told.
    {
        Locker other(db);
        t.Submit(14, false);
        t.Submit(15, true);
        store.Stop();
    }
    const monitor::Unwritten lost = store.Lost();
    EXPECT_EQ(lost.cycles, 2u);
    EXPECT_EQ(lost.alarm_changes, 1u);
    EXPECT_EQ(lost.reason, "database is locked");
    bool told = false;
    for (const auto& e : store.TakeErrors()) told = told || e.find("given up at stop") != std::string::npos;
    EXPECT_TRUE(told);
    EXPECT_EQ(Count(db, "SELECT count(*) FROM history"), 2 * 11);
}

// A prune nests its transaction in the cycle's commit: it goes only with it.
TEST(HistoryStore, ATransactionInsideAnotherGoesOnlyWithIt) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(":memory:", &db), SQLITE_OK);
    monitor::Exec(db, "CREATE TABLE t(x INTEGER)");
    for (const int x : {1, 2}) {
        monitor::Transaction outer(db), inner(db);
        monitor::Exec(db, "INSERT INTO t VALUES(" + std::to_string(x) + ")");
        inner.Commit();
        if (x == 1) outer.Commit();
    }
    EXPECT_EQ(monitor::QueryInt(db, "SELECT sum(x) FROM t"), 1);
    sqlite3_close(db);
}

}  // namespace
}  // namespace monitor_test
