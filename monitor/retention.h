#pragma once
// How long history is kept and how large the file may grow, and the small
// steps that keep it so. Each step is one short transaction of its own, run
// by the storage thread between commits, so a cycle's commit never waits
// long behind it.

#include <cstdint>

struct sqlite3;

namespace monitor {

// Config "history".
struct Retention {
    unsigned raw_days = 7;
    unsigned minute_days = 30;
    unsigned hour_days = 1825;
    uint64_t max_mb = 1024;  // the database file, MiB; its journal (at most 4 MiB) comes on top
    // How long a cycle may wait to share its commit with the next ones: fewer,
    // fuller commits write far less to flash; the cycle is reported later.
    unsigned commit_s = 20;
};

namespace retention {

constexpr int64_t kDayMs = 86'400'000;

// Raw rows older than cutoff_ms, oldest first, below id `below` (rows above
// it are not yet in their minute's roll-up). Returns the rows deleted.
int64_t PruneRaw(sqlite3* db, int64_t cutoff_ms, int64_t below, int chunk);
// Roll-ups of one step starting before cutoff_ms, oldest first.
int64_t PruneRollups(sqlite3* db, int64_t step_ms, int64_t cutoff_ms, int chunk);

struct Pages {
    int64_t count = 0, free = 0, size = 0;
    bool incremental = false;  // auto_vacuum=INCREMENTAL: the file can shrink
    int64_t Used() const { return count - free; }
};
Pages Measure(sqlite3* db);

// The budget in pages, and the room kept below it for the commits between
// two maintenance turns.
int64_t BudgetPages(const Retention& r, int64_t page_size);
int64_t Headroom(int64_t budget_pages);
// Free pages the file may keep before it is shrunk.
int64_t Slack(int64_t budget_pages);

// Over budget: deletes the oldest raw rows, or with none left the oldest
// minute roll-ups, or else the oldest hours. Returns the rows deleted.
int64_t PruneForBudget(sqlite3* db, int chunk);
// Gives up to `pages` free pages back to the file system.
int64_t Shrink(sqlite3* db, int pages);

}  // namespace retention
}  // namespace monitor
