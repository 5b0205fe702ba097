#include "monitor/retention.h"

#include <algorithm>

#include "monitor/rollup.h"
#include "monitor/sqlite_util.h"

namespace monitor::retention {

namespace {

// When a row was stored: its "ms", or for a row of a version-1 program its
// local "time" text.
constexpr const char* kRowMs = "coalesce(ms, CAST(unixepoch(time, 'utc') AS INTEGER) * 1000)";

int64_t delete_through(sqlite3* db, const char* sql, int64_t last) {
    Transaction t(db);
    Stmt del(db, sql);
    del.Int(1, last).Run();
    const int64_t n = sqlite3_changes(db);
    t.Commit();
    return n;
}

}  // namespace

int64_t PruneRaw(sqlite3* db, int64_t cutoff_ms, int64_t below, int chunk) {
    // The oldest rows in the order they were stored; a clock that jumped
    // back leaves what it wrote until the rows before it have gone.
    Stmt s(db, (std::string("SELECT id, ") + kRowMs + " FROM history WHERE id < ? ORDER BY id LIMIT ?").c_str());
    s.Int(1, below).Int(2, chunk);
    int64_t last = -1;
    while (s.Step()) {
        if (s.ColNull(1) || s.ColInt(1) >= cutoff_ms) break;
        last = s.ColInt(0);
    }
    s.Reset();
    if (last < 0) return 0;
    return delete_through(db, "DELETE FROM history WHERE id <= ?", last);
}

int64_t PruneRollups(sqlite3* db, int64_t step_ms, int64_t cutoff_ms, int chunk) {
    Transaction t(db);
    Stmt del(db,
             "DELETE FROM rollup WHERE id IN (SELECT id FROM rollup WHERE step = ?1 AND start_ms < ?2 "
             "ORDER BY step, start_ms LIMIT ?3)");
    del.Int(1, step_ms).Int(2, cutoff_ms).Int(3, chunk).Run();
    const int64_t n = sqlite3_changes(db);
    t.Commit();
    return n;
}

Pages Measure(sqlite3* db) {
    Pages p;
    p.count = QueryInt(db, "PRAGMA page_count");
    p.free = QueryInt(db, "PRAGMA freelist_count");
    p.size = QueryInt(db, "PRAGMA page_size");
    p.incremental = QueryInt(db, "PRAGMA auto_vacuum") == 2;
    return p;
}

int64_t BudgetPages(const Retention& r, int64_t page_size) {
    return static_cast<int64_t>(r.max_mb * 1048576 / static_cast<uint64_t>(std::max<int64_t>(page_size, 512)));
}

int64_t Headroom(int64_t budget) { return std::max<int64_t>(budget / 50, 256); }
int64_t Slack(int64_t budget) { return std::max<int64_t>(budget / 100, 1024); }

int64_t PruneForBudget(sqlite3* db, int chunk) {
    {
        Stmt s(db, "SELECT id FROM history ORDER BY id LIMIT 1 OFFSET ?");
        s.Int(1, chunk - 1);
        int64_t last = s.Step() ? s.ColInt(0) : QueryInt(db, "SELECT max(id) FROM history");
        s.Reset();
        if (last > 0) return delete_through(db, "DELETE FROM history WHERE id <= ?", last);
    }
    for (int64_t step : {rollup::kMinuteMs, rollup::kHourMs}) {
        const int64_t n = PruneRollups(db, step, INT64_MAX, chunk);
        if (n > 0) return n;
    }
    return 0;
}

int64_t Shrink(sqlite3* db, int pages) {
    const int64_t before = QueryInt(db, "PRAGMA freelist_count");
    Stmt s(db, ("PRAGMA incremental_vacuum(" + std::to_string(pages) + ")").c_str());
    while (s.Step()) {
    }
    return before - QueryInt(db, "PRAGMA freelist_count");
}

}  // namespace monitor::retention
