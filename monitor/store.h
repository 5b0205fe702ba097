#pragma once
// SQLite storage, written by one thread of its own. The poll thread hands it
// batches (copies of the bytes); each batch is one transaction, so a cycle's
// rows land together or not at all, and the poll thread reports a cycle only
// once its batch is committed.

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "monitor/alarm_book.h"

struct sqlite3;

namespace monitor {

class StoreError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct SnapshotRow {
    std::string time;
    uint32_t device = 0;
    std::string device_type;
    int type = 0;
    std::vector<unsigned char> data;
};

struct Batch {
    std::string time;                  // when the batch was sealed
    std::vector<SnapshotRow> history;  // one row each
    std::vector<SnapshotRow> cache;    // the last snapshot of each child
    std::vector<AlarmChange> alarms;
};

class Store {
public:
    static constexpr int kSchemaVersion = 1;

    // Opens or creates the database and checks its schema. A file that is no
    // database, or one of another schema, is refused and left as it was.
    // Throws StoreError naming the path and the reason.
    explicit Store(const std::string& path);
    ~Store();
    Store(const Store&) = delete;
    Store& operator=(const Store&) = delete;

    // Read at start, before Start().
    std::vector<SnapshotRow> LoadCache();
    std::vector<Alarm> LoadActiveAlarms();

    void Start();
    // Thread-safe. Returns the batch's tag: tags grow by one per batch and are
    // committed in order.
    uint64_t Submit(Batch batch);
    // The tag of the last committed batch (0: none yet).
    uint64_t Committed() const;
    // Readable (eventfd) after every commit and every failure; Drain() clears it.
    int NotifyFd() const { return notify_fd; }
    void Drain();
    // Failures since the last call, one line each.
    std::vector<std::string> TakeErrors();
    // Commits what is queued, then stops the thread. Gives up on a database
    // that keeps failing after a few tries (reported through TakeErrors).
    void Stop();

    const std::string& Path() const { return path; }

private:
    void run();
    void write(const Batch& b);
    void exec(const char* sql);
    void check_schema();
    void notify();
    [[noreturn]] void fail(const std::string& why);

    std::string path;
    sqlite3* db = nullptr;
    int notify_fd = -1;

    mutable std::mutex mutex;
    std::condition_variable wake;
    std::deque<std::pair<uint64_t, Batch>> queue;
    uint64_t next_tag = 1;
    uint64_t committed = 0;
    bool stopping = false;
    std::vector<std::string> errors;
    std::thread worker;
};

}  // namespace monitor
