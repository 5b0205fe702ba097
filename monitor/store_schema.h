#pragma once
// The database file: what is refused before anything is opened, the schema
// (created, checked, or migrated from version 1), and the settings the
// writer runs with.
//
// Version 2 keeps the four tables of version 1 and their columns, adds "ms"
// (milliseconds since the epoch, UTC) at the end of history and alarm_event
// (NULL in rows a version-1 program wrote: their "time" text, local time,
// says when), and a table of its own:
//
//   rollup(id INTEGER PRIMARY KEY, step INTEGER, start_ms INTEGER, device INTEGER,
//          device_type TEXT, first_id INTEGER, last_id INTEGER, data BLOB)
//     one row per unit per minute (step 60000) or hour (step 3600000), data
//     the packed blob of monitor/rollup.h; first_id and last_id bound the
//     history rows it sums up, so a raw query finds its rows through the
//     minutes instead of an index on history that every cycle would write;
//     the newest minutes' last_id tell, after a restart, which rows are not
//     yet rolled up. Index rollup_time(step, start_ms, device, device_type).

#include <sqlite3.h>

#include <cstdint>
#include <string>

namespace monitor::schema {

constexpr int kVersion = 2;
// Small pages: each commit writes whole pages to the journal, and a cycle
// adds about 1.5 KB, so 4 KB pages would write several times what is kept.
constexpr int kPageSize = 1024;

struct Opened {
    sqlite3* db = nullptr;
    bool created = false;
    bool migrated = false;  // from version 1, this time
};

// Opens the database for the storage thread: creates a new one, migrates a
// version-1 file in place (one transaction), checks a version-2 one. What
// cannot be used is refused before it is opened where the file itself
// tells (no file is created beside it then). Throws StoreError("database
// <path>: <reason>").
Opened OpenForWriting(const std::string& path);

// A read-only connection to a version-2 database; throws StoreError.
sqlite3* OpenForReading(const std::string& path);

// A migrated version-1 file keeps its 4 KB pages and no auto-vacuum until
// it is rewritten; a small one is rewritten at once. Returns whether it was.
bool ConvertSmallFile(sqlite3* db, const std::string& path);

// The writer's settings: WAL journal with synchronous=NORMAL (a commit is
// atomic and the file always consistent; a power cut loses at most what the
// kernel had not yet written), no automatic checkpoints (the storage thread
// runs them between commits), the journal file kept at most 4 MB.
void ConfigureWriter(sqlite3* db);

}  // namespace monitor::schema
