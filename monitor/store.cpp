// The store's face to the poll thread: opening, the queue, what was dropped,
// the status. The storage thread's work is in store_thread.cpp.

#include "monitor/store.h"

#include <sqlite3.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <fmt/format.h>

#include "monitor/checkpointer.h"
#include "monitor/clock_text.h"
#include "monitor/rollup_book.h"
#include "monitor/store_schema.h"

namespace monitor {

namespace {

int on_wal(void* arg, sqlite3*, const char*, int frames) {
    *static_cast<int*>(arg) = frames;
    return SQLITE_OK;
}

size_t bytes_of(const Batch& b) {
    size_t n = 64 * b.history.size() + 128 * b.alarms.size();
    for (const auto& r : b.history) n += r.data.size();
    return n;
}

}  // namespace

Store::Store(const std::string& p, StoreOptions o) : path(p), opts(std::move(o)) {
    if (!opts.clock) opts.clock = NowMs;
    schema::Opened opened = schema::OpenForWriting(path);
    db = opened.db;
    try {
        if (opened.migrated && schema::ConvertSmallFile(db, path))
            notes.push_back(fmt::format("database {}: migrated to schema version {}, rewritten with {}-byte pages",
                                         path, kSchemaVersion, schema::kPageSize));
        else if (opened.migrated)
            notes.push_back(fmt::format("database {}: migrated to schema version {}", path, kSchemaVersion));
        rollups = std::make_unique<RollupBook>(opts.model);
        rollups->Load(db);
        page_limit = opts.page_limit;
        apply_page_limit();
        sqlite3_wal_hook(db, on_wal, &wal_frames);
    } catch (const StoreError& e) {
        sqlite3_close(db);
        throw StoreError(fmt::format("database {}: {}", path, e.what()));
    }
    notify_fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (notify_fd < 0) {
        sqlite3_close(db);
        throw StoreError(fmt::format("database {}: no eventfd", path));
    }
    checkpointer = std::make_unique<Checkpointer>(path);
}

Store::~Store() {
    Stop();
    rollups.reset();
    checkpointer.reset();
    if (db) sqlite3_close(db);
    if (notify_fd >= 0) ::close(notify_fd);
}

int64_t Store::now() const { return opts.clock(); }

void Store::apply_page_limit() {
    const int64_t budget = retention::BudgetPages(opts.retention, QueryInt(db, "PRAGMA page_size"));
    const int64_t limit = page_limit > 0 ? std::min(page_limit, budget) : budget;
    // SQLite keeps a ceiling below the file's size at the size.
    Exec(db, fmt::format("PRAGMA max_page_count={}", limit));
}

std::vector<SnapshotRow> Store::LoadCache() {
    std::vector<SnapshotRow> out;
    Stmt s(db, "SELECT device, device_type, type, time, data FROM cache ORDER BY device, device_type");
    while (s.Step()) {
        SnapshotRow r;
        r.device = static_cast<uint32_t>(s.ColInt(0));
        r.device_type = s.ColText(1);
        r.type = static_cast<int>(s.ColInt(2));
        r.time = s.ColText(3);
        r.data = s.ColBlobCopy(4);
        out.push_back(std::move(r));
    }
    return out;
}

std::vector<Alarm> Store::LoadActiveAlarms() {
    std::vector<Alarm> out;
    Stmt s(db,
           "SELECT device, key, detail, code, name, level, state, state_text, since FROM active_alarm "
           "ORDER BY device, key, detail");
    while (s.Step()) {
        Alarm a;
        a.device = static_cast<uint32_t>(s.ColInt(0));
        a.key = s.ColText(1);
        a.detail = s.ColText(2);
        a.code = s.ColText(3);
        a.name = s.ColText(4);
        a.level = static_cast<int32_t>(s.ColInt(5));
        a.state = static_cast<int>(s.ColInt(6));
        a.state_text = s.ColText(7);
        a.since = s.ColText(8);
        out.push_back(std::move(a));
    }
    return out;
}

void Store::Start() {
    if (worker.joinable() || stopped) return;
    worker = std::thread([this] { run(); });
}

uint64_t Store::Submit(Batch batch) {
    const int64_t t = now();
    std::lock_guard<std::mutex> lock(mutex);
    // Only the latest snapshot of each child matters; it is written now and then.
    for (auto& r : batch.cache) {
        auto key = std::make_pair(r.device, r.device_type);
        cache[std::move(key)] = std::move(r);
        cache_dirty = true;
    }
    batch.cache.clear();
    Queued q;
    const uint64_t tag = q.tag = next_tag++;
    q.arrived = t;
    q.bytes = bytes_of(batch);
    q.cycle = !batch.history.empty();
    if (q.cycle) last_cycle = t;
    q.batch = std::move(batch);
    queue.push_back(std::move(q));
    overflow(t);
    wake.notify_one();
    return tag;
}

void Store::overflow(int64_t t) {
    size_t total = 0;
    for (const auto& q : queue) total += q.bytes;
    for (auto it = queue.begin(); it != queue.end();) {
        if (it->batch.history.empty()) {
            ++it;
            continue;
        }
        if (t - it->arrived <= opts.hold_ms && total <= opts.hold_bytes) break;
        // The oldest cycle goes; its alarm changes stay queued in their place.
        total -= it->bytes;
        it->bytes = bytes_of(Batch{{}, 0, {}, {}, it->batch.alarms});
        total += it->bytes;
        it->batch.history.clear();
        it->cycle = false;
        dropped_tags.push_back(it->tag);
        ++status.dropped;
        it = it->batch.alarms.empty() ? queue.erase(it) : it + 1;
    }
}

uint64_t Store::Committed() const {
    std::lock_guard<std::mutex> lock(mutex);
    return committed;
}

StoreStatus Store::Status() const {
    std::lock_guard<std::mutex> lock(mutex);
    StoreStatus s = status;
    s.held = 0;
    for (const auto& q : queue) s.held += q.cycle;
    for (const auto& q : in_flight) s.held += q.cycle;
    return s;
}

StoreProgress Store::Progress() {
    StoreStatus s = Status();
    std::lock_guard<std::mutex> lock(mutex);
    StoreProgress p;
    p.committed = committed;
    p.dropped.swap(dropped_tags);
    p.status = std::move(s);
    return p;
}

void Store::Flush() {
    std::lock_guard<std::mutex> lock(mutex);
    flush = true;
    wake.notify_one();
}

void Store::Drain() {
    uint64_t n;
    while (::read(notify_fd, &n, sizeof n) == static_cast<ssize_t>(sizeof n)) {
    }
}

std::vector<std::string> Store::TakeErrors() {
    std::lock_guard<std::mutex> lock(mutex);
    std::vector<std::string> out;
    out.swap(errors);
    return out;
}

std::vector<std::string> Store::TakeNotes() {
    std::lock_guard<std::mutex> lock(mutex);
    std::vector<std::string> out;
    out.swap(notes);
    return out;
}

void Store::notify() {
    const uint64_t one = 1;
    if (::write(notify_fd, &one, sizeof one) < 0) {
        // Already readable; nothing is lost.
    }
}

void Store::Stop() {
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopping = true;
        wake.notify_one();
    }
    if (worker.joinable()) worker.join();
    stopped = true;
}

Unwritten Store::Lost() const {
    std::lock_guard<std::mutex> lock(mutex);
    return lost;
}

void Store::SetPageLimit(int64_t pages) {
    std::lock_guard<std::mutex> lock(mutex);
    page_limit = pages;
    page_limit_changed = true;
    wake.notify_one();
}

StoreStats Store::Stats() const {
    StoreStats s;
    {
        std::lock_guard<std::mutex> lock(mutex);
        s = stats;
    }
    if (checkpointer) {
        const Checkpointer::Times c = checkpointer->Stats();
        // Not a step: nothing waits for it.
        StoreStats::StepTimes& k = s.by_kind["background_checkpoint"];
        k.n = c.n;
        k.over_50ms = c.over_50ms;
        k.longest_us = c.longest_us;
    }
    return s;
}

}  // namespace monitor
