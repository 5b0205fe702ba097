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
    // Clears the readiness of the notification descriptor.
    virtual void Drain() {}
    // Failures since the last call, one line each.
    virtual std::vector<std::string> TakeErrors() { return {}; }
    // Commits what is queued and stops.
    virtual void Stop() {}
};

class Store : public Storage {
public:
    static constexpr int kSchemaVersion = 1;

    // Opens or creates the database and checks its schema. A file that is no
    // database, or one of another schema, is refused and left as it was.
    // Throws StoreError naming the path and the reason.
    explicit Store(const std::string& path);
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
    // Readable (eventfd) after every commit and every failure.
    int NotifyFd() const { return notify_fd; }
    void Drain() override;
    std::vector<std::string> TakeErrors() override;
    // Commits what is queued, then stops the thread. Gives up on a database
    // that keeps failing after a few tries (reported through TakeErrors).
    void Stop() override;

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
