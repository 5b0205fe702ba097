#pragma once
// SQLite storage, written by one thread of its own. The poll thread hands it
// batches (copies of the bytes); the poll thread reports a cycle only once
// its batch is committed.
//
// Batches share a commit: a cycle waits up to commit_window_ms (or until
// commit_bytes are waiting) so that each commit writes whole pages rather
// than the same few pages over and over; a batch with alarm changes, a
// flush and a stop commit at once. A failing database never stops the
// poll thread: batches wait, the commit is retried with back-off, and past
// hold_ms (or hold_bytes) of waiting the oldest cycles are dropped, their
// alarm changes kept. Between commits the thread writes roll-ups, prunes
// and shrinks the file in short steps.

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "monitor/alarm_book.h"
#include "monitor/models/model.h"
#include "monitor/retention.h"
#include "monitor/sqlite_util.h"

struct sqlite3;

namespace monitor {

class Checkpointer;
class RollupBook;

struct SnapshotRow {
    std::string time;
    uint32_t device = 0;
    std::string device_type;
    int type = 0;
    std::vector<unsigned char> data;
    bool fresh = false;  // its values count in the roll-ups
};

struct Batch {
    std::string time;                  // when the batch was sealed, as stored
    int64_t ms = 0;                    // the same, ms since the epoch (the history rows' "ms")
    std::vector<SnapshotRow> history;  // one row each
    std::vector<SnapshotRow> cache;    // the last snapshot of each child
    std::vector<AlarmChange> alarms;
};

struct StoreStatus {
    bool ok = true;
    std::string reason;    // why writing fails
    uint64_t held = 0;     // cycles waiting for their commit
    uint64_t dropped = 0;  // cycles given up since start
};

// What the poll thread learns after a wake-up, all at one moment.
struct StoreProgress {
    uint64_t committed = 0;             // the last committed tag
    std::vector<uint64_t> dropped;      // tags whose cycle was given up (alarm changes kept)
    StoreStatus status;
};

// What could not be written when storage stopped.
struct Unwritten {
    uint64_t cycles = 0;
    uint64_t alarm_changes = 0;
    std::string reason;
};

// What the poll thread needs of storage. Store is the real one; a benchmark
// puts a hand-off that drops the batches in its place.
class Storage {
public:
    virtual ~Storage() = default;
    virtual std::vector<SnapshotRow> LoadCache() = 0;
    virtual std::vector<Alarm> LoadActiveAlarms() = 0;
    // Returns the batch's tag: tags grow by one per batch, committed in order.
    virtual uint64_t Submit(Batch batch) = 0;
    // The tag of the last committed batch (0: none yet).
    virtual uint64_t Committed() const = 0;
    virtual StoreProgress Progress() { return {Committed(), {}, {}}; }
    // Commits what is waiting without waiting for company.
    virtual void Flush() {}
    // Clears the readiness of the notification descriptor.
    virtual void Drain() {}
    // Failures since the last call, one line each; and what is worth a note.
    virtual std::vector<std::string> TakeErrors() { return {}; }
    virtual std::vector<std::string> TakeNotes() { return {}; }
    // Commits what is queued and stops.
    virtual void Stop() {}
    virtual Unwritten Lost() const { return {}; }
};

struct StoreOptions {
    const model::Model* model = nullptr;  // the catalogue the roll-ups follow; none without
    Retention retention;
    std::function<int64_t()> clock;  // ms since the epoch; the system clock when empty
    int64_t commit_window_ms = 20'000;
    size_t commit_bytes = 12288;  // about ten reference-site cycles: twenty seconds, as the window
    int64_t hold_ms = 600'000;  // ten minutes of cycles ride out a failing disk
    size_t hold_bytes = 32u << 20;
    int64_t page_limit = 0;  // a ceiling in pages (PRAGMA max_page_count) below the budget's; 0 none
};

// What the benchmark reads of the storage thread's work.
struct StoreStats {
    uint64_t commits = 0, batches = 0, steps = 0;
    int64_t longest_commit_us = 0;
    int64_t longest_commit_pruning_us = 0;  // commits while pruning had work left
    int64_t longest_step_us = 0;            // one maintenance step
    int64_t longest_checkpoint_us = 0;
    // Maintenance steps by kind (checkpoint, rollups, backfill, budget, raw,
    // minutes, hours, shrink): how many, the longest, and how many took over
    // 50 ms, the time a commit that fell due could wait behind one.
    struct StepTimes {
        uint64_t n = 0, over_50ms = 0;
        int64_t longest_us = 0;
    };
    std::map<std::string, StepTimes> by_kind;
};

class Store : public Storage {
public:
    static constexpr int kSchemaVersion = 2;

    // Opens or creates the database, migrating a version-1 file. A file that
    // is no database, or one of another schema, is refused and left as it
    // was. Throws StoreError naming the path and the reason.
    explicit Store(const std::string& path, StoreOptions options = {});
    ~Store() override;
    Store(const Store&) = delete;
    Store& operator=(const Store&) = delete;

    // Read at start, before Start().
    std::vector<SnapshotRow> LoadCache() override;
    std::vector<Alarm> LoadActiveAlarms() override;

    void Start();
    // Thread-safe.
    uint64_t Submit(Batch batch) override;
    uint64_t Committed() const override;
    StoreProgress Progress() override;
    void Flush() override;
    // Readable (eventfd) after every commit and every change of status.
    int NotifyFd() const { return notify_fd; }
    void Drain() override;
    std::vector<std::string> TakeErrors() override;
    std::vector<std::string> TakeNotes() override;
    // Commits what is queued, then stops the thread. Gives up on a database
    // that keeps failing after a few tries (Lost() says what).
    void Stop() override;
    Unwritten Lost() const override;
    // A new ceiling in pages for the writing connection (0: the budget's).
    void SetPageLimit(int64_t pages);

    const std::string& Path() const { return path; }
    StoreStats Stats() const;
    StoreStatus Status() const;

private:
    struct Queued {
        uint64_t tag = 0;
        int64_t arrived = 0;  // store clock
        size_t bytes = 0;
        bool cycle = false;  // carries history rows
        Batch batch;
    };
    struct Work;

    int64_t now() const;
    void run();
    bool next(std::unique_lock<std::mutex>& lock, Work& w);
    void commit(std::vector<Queued>& group);
    void write_batches(std::vector<Queued>& group, std::vector<std::vector<int64_t>>& ids);
    void write_cache();
    bool maintain();
    bool tend_journal();
    bool prune_step(int64_t now_ms, bool lull);
    void count_step(const char* kind, int64_t us);  // with mutex held
    void enforce_budget();
    void prune_aged(int64_t t, int rows);
    void finish();
    void failed(const std::string& why);
    void recovered();
    void overflow(int64_t now_ms);
    void notify();
    void apply_page_limit();

    std::string path;
    StoreOptions opts;
    sqlite3* db = nullptr;
    int notify_fd = -1;
    std::unique_ptr<RollupBook> rollups;
    std::unique_ptr<Checkpointer> checkpointer;

    mutable std::mutex mutex;
    std::condition_variable wake;
    std::deque<Queued> queue;
    std::vector<Queued> in_flight;
    std::map<std::pair<uint32_t, std::string>, SnapshotRow> cache;  // the latest of each child
    bool cache_dirty = false;
    uint64_t next_tag = 1;
    uint64_t committed = 0;
    int64_t last_cycle = INT64_MIN / 4;  // store clock: when the latest cycle came
    bool stopping = false, flush = false, stopped = false;
    std::vector<uint64_t> dropped_tags;
    StoreStatus status;
    Unwritten lost;
    std::vector<std::string> errors, notes;
    int64_t page_limit = 0;
    bool page_limit_changed = false;
    StoreStats stats;
    std::thread worker;

    // The storage thread's own.
    int failures = 0;
    int64_t retry_at = 0;         // steady ms
    int64_t cache_written = -1;   // store clock
    int64_t next_prune = 0;       // store clock: when to look for aged rows again
    bool pruning = false;         // the last prune step left work
    const char* step_kind = "";  // what the current maintenance step does
    int shrink_pages = 16;        // pages a shrink step gives back; follows how long the last one took
    int wal_frames = 0;           // in the journal, as its last write left it
    int ckpt_asked = 0;           // wal_frames when the checkpointer was asked; 0: not since it started over
    int64_t ckpt_requests = 0;
};

}  // namespace monitor
