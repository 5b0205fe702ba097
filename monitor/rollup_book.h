#pragma once
// The storage thread's roll-ups: each unit's open minute summed up as its
// rows are committed, closed minutes written (merged with a row already
// stored for the same minute, as after a restart within it), hours made
// from their stored minutes once they end, and the rows earlier runs left
// without roll-ups (a version-1 file, a crash mid-minute) caught up a chunk
// at a time. Everything is derived from the raw rows, so nothing here is
// lost by a crash: the next start rolls up what is missing.

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "monitor/models/model.h"
#include "monitor/rollup.h"

struct sqlite3;

namespace monitor {

struct SnapshotRow;

class RollupBook {
public:
    explicit RollupBook(const model::Model* model) : model(model) {}

    // At start, before this run stores anything.
    void Load(sqlite3* db);

    // A committed history row; ms is its cycle's time.
    void Add(int64_t id, int64_t ms, const SnapshotRow& row);
    // Closes the open minutes that ended before `before_ms`.
    void Close(int64_t before_ms);
    bool Pending(int64_t now_ms) const;

    // In the caller's transaction: closed minutes, and the hours that ended
    // before `now_ms` - grace (every touched hour when final).
    // Then Commit() or Rollback() as the transaction went.
    void Write(sqlite3* db, int64_t now_ms, bool final);
    void Commit();
    void Rollback();

    // Rolls up at most `rows` of the rows earlier runs left; false once none
    // are left. Writes in its own transaction.
    bool Backfill(sqlite3* db, int64_t now_ms, int rows);
    // History rows below this id are in stored minutes: age pruning may take them.
    int64_t Covered() const;

    // A minute is closed this long after its end (rows may still wait for
    // their commit that long).
    static constexpr int64_t kGraceMs = 15'000;

private:
    using Key = std::pair<uint32_t, std::string>;  // device, device_type
    struct Acc {
        int64_t start = 0;
        int64_t first_id = 0, last_id = 0;
        std::optional<rollup::Period> period;
    };
    void add(std::map<Key, Acc>& open, int64_t id, int64_t ms, const Key& key, const unsigned char* data, size_t n,
             bool fresh);
    void write_minute(sqlite3* db, const Key& key, Acc& acc);
    void write_hour(sqlite3* db, const Key& key, int64_t start);
    const rollup::Layout* layout(const std::string& device_type) const;

    const model::Model* model;
    std::map<Key, Acc> open;       // this run's rows
    std::map<Key, Acc> back_open;  // earlier runs' rows
    std::vector<std::pair<Key, Acc>> closed, writing;
    std::set<std::pair<Key, int64_t>> hours, hours_writing;  // touched, by start
    std::map<Key, int64_t> marks, marks_writing;  // the last row of each unit in a stored minute
    int64_t back_next = 0, back_end = 0;  // ids still to catch up: (back_next, back_end]
};

}  // namespace monitor
