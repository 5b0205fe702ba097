#include "monitor/store.h"

#include <sqlite3.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <chrono>
#include <memory>

#include <fmt/format.h>

namespace monitor {

namespace {

const char* const kSchema = R"SQL(
CREATE TABLE history(id INTEGER PRIMARY KEY, time TEXT, device INTEGER, device_type TEXT, type INTEGER, data BLOB);
CREATE TABLE cache(device INTEGER, device_type TEXT, type INTEGER, time TEXT, data BLOB,
                   PRIMARY KEY(device, device_type));
CREATE TABLE alarm_event(id INTEGER PRIMARY KEY, time TEXT, device INTEGER, key TEXT, detail TEXT, code TEXT,
                         name TEXT, level INTEGER, action TEXT, state INTEGER, state_text TEXT);
CREATE TABLE active_alarm(device INTEGER, key TEXT, detail TEXT, code TEXT, name TEXT, level INTEGER,
                          state INTEGER, state_text TEXT, since TEXT, PRIMARY KEY(device, key, detail));
)SQL";

struct TableShape {
    const char* name;
    std::vector<std::string> columns;
};

const std::vector<TableShape>& shapes() {
    static const std::vector<TableShape> t = {
        {"history", {"id", "time", "device", "device_type", "type", "data"}},
        {"cache", {"device", "device_type", "type", "time", "data"}},
        {"alarm_event",
         {"id", "time", "device", "key", "detail", "code", "name", "level", "action", "state", "state_text"}},
        {"active_alarm", {"device", "key", "detail", "code", "name", "level", "state", "state_text", "since"}},
    };
    return t;
}

// A prepared statement that finalizes itself.
class Stmt {
public:
    Stmt(sqlite3* db, const char* sql) : db(db) {
        if (sqlite3_prepare_v2(db, sql, -1, &s, nullptr) != SQLITE_OK) throw StoreError(sqlite3_errmsg(db));
    }
    ~Stmt() { sqlite3_finalize(s); }
    Stmt& text(int i, const std::string& v) {
        sqlite3_bind_text(s, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
        return *this;
    }
    Stmt& integer(int i, int64_t v) {
        sqlite3_bind_int64(s, i, v);
        return *this;
    }
    Stmt& blob(int i, const std::vector<unsigned char>& v) {
        sqlite3_bind_blob(s, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
        return *this;
    }
    // true while there is a row
    bool step() {
        const int rc = sqlite3_step(s);
        if (rc == SQLITE_ROW) return true;
        if (rc == SQLITE_DONE) return false;
        throw StoreError(sqlite3_errmsg(db));
    }
    void run() {
        while (step()) {
        }
        sqlite3_reset(s);
        sqlite3_clear_bindings(s);
    }
    std::string col_text(int i) {
        const unsigned char* t = sqlite3_column_text(s, i);
        return t ? std::string(reinterpret_cast<const char*>(t), static_cast<size_t>(sqlite3_column_bytes(s, i))) : "";
    }
    int64_t col_int(int i) { return sqlite3_column_int64(s, i); }
    std::vector<unsigned char> col_blob(int i) {
        const auto* p = static_cast<const unsigned char*>(sqlite3_column_blob(s, i));
        const int n = sqlite3_column_bytes(s, i);
        return p ? std::vector<unsigned char>(p, p + n) : std::vector<unsigned char>{};
    }

private:
    sqlite3* db;
    sqlite3_stmt* s = nullptr;
};

}  // namespace

Store::Store(const std::string& p) : path(p) {
    if (path.empty()) throw StoreError("database: no path given");
    const int rc = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                                   nullptr);
    if (rc != SQLITE_OK) fail(db ? sqlite3_errmsg(db) : sqlite3_errstr(rc));
    sqlite3_busy_timeout(db, 5000);
    try {
        check_schema();
    } catch (const StoreError& e) {
        fail(e.what());
    }
    notify_fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (notify_fd < 0) fail("no eventfd");
}

Store::~Store() {
    Stop();
    if (db) sqlite3_close(db);
    if (notify_fd >= 0) ::close(notify_fd);
}

void Store::fail(const std::string& why) {
    if (db) sqlite3_close(db);
    db = nullptr;
    throw StoreError(fmt::format("database {}: {}", path, why));
}

void Store::exec(const char* sql) {
    char* err = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &err) != SQLITE_OK) {
        std::string why = err ? err : sqlite3_errmsg(db);
        sqlite3_free(err);
        throw StoreError(why);
    }
}

void Store::check_schema() {
    // The first read tells a file that is no database apart from an empty one.
    int64_t objects = 0, version = 0;
    {
        Stmt s(db, "SELECT count(*) FROM sqlite_master");
        if (s.step()) objects = s.col_int(0);
    }
    {
        Stmt s(db, "PRAGMA user_version");
        if (s.step()) version = s.col_int(0);
    }
    if (sqlite3_db_readonly(db, "main") == 1) throw StoreError("opened read-only, it must be writable");
    if (objects == 0 && version == 0) {
        exec("PRAGMA journal_mode=WAL");
        exec("BEGIN IMMEDIATE");
        try {
            exec(kSchema);
            exec(fmt::format("PRAGMA user_version={}", kSchemaVersion).c_str());
            exec("COMMIT");
        } catch (...) {
            sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
            throw;
        }
    } else {
        if (version != kSchemaVersion)
            throw StoreError(fmt::format("unknown schema (version {}, this program writes version {})", version,
                                         kSchemaVersion));
        for (const auto& t : shapes()) {
            std::vector<std::string> cols;
            Stmt s(db, fmt::format("PRAGMA table_info({})", t.name).c_str());
            while (s.step()) cols.push_back(s.col_text(1));
            if (cols != t.columns)
                throw StoreError(fmt::format("unknown schema (table {} {})", t.name,
                                             cols.empty() ? "missing" : "has other columns"));
        }
    }
    Stmt mode(db, "PRAGMA journal_mode=WAL");
    if (!mode.step() || mode.col_text(0) != "wal") throw StoreError("cannot switch to WAL journal");
}

std::vector<SnapshotRow> Store::LoadCache() {
    std::vector<SnapshotRow> out;
    Stmt s(db, "SELECT device, device_type, type, time, data FROM cache ORDER BY device, device_type");
    while (s.step()) {
        SnapshotRow r;
        r.device = static_cast<uint32_t>(s.col_int(0));
        r.device_type = s.col_text(1);
        r.type = static_cast<int>(s.col_int(2));
        r.time = s.col_text(3);
        r.data = s.col_blob(4);
        out.push_back(std::move(r));
    }
    return out;
}

std::vector<Alarm> Store::LoadActiveAlarms() {
    std::vector<Alarm> out;
    Stmt s(db,
           "SELECT device, key, detail, code, name, level, state, state_text, since FROM active_alarm "
           "ORDER BY device, key, detail");
    while (s.step()) {
        Alarm a;
        a.device = static_cast<uint32_t>(s.col_int(0));
        a.key = s.col_text(1);
        a.detail = s.col_text(2);
        a.code = s.col_text(3);
        a.name = s.col_text(4);
        a.level = static_cast<int32_t>(s.col_int(5));
        a.state = static_cast<int>(s.col_int(6));
        a.state_text = s.col_text(7);
        a.since = s.col_text(8);
        out.push_back(std::move(a));
    }
    return out;
}

void Store::Start() {
    if (worker.joinable()) return;
    worker = std::thread([this] { run(); });
}

uint64_t Store::Submit(Batch batch) {
    std::lock_guard<std::mutex> lock(mutex);
    const uint64_t tag = next_tag++;
    queue.emplace_back(tag, std::move(batch));
    wake.notify_one();
    return tag;
}

uint64_t Store::Committed() const {
    std::lock_guard<std::mutex> lock(mutex);
    return committed;
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
}

void Store::write(const Batch& b) {
    exec("BEGIN IMMEDIATE");
    try {
        if (!b.history.empty()) {
            Stmt s(db, "INSERT INTO history(time, device, device_type, type, data) VALUES(?,?,?,?,?)");
            for (const auto& r : b.history)
                s.text(1, r.time).integer(2, r.device).text(3, r.device_type).integer(4, r.type).blob(5, r.data).run();
        }
        if (!b.cache.empty()) {
            Stmt s(db, "INSERT OR REPLACE INTO cache(device, device_type, type, time, data) VALUES(?,?,?,?,?)");
            for (const auto& r : b.cache)
                s.integer(1, r.device).text(2, r.device_type).integer(3, r.type).text(4, r.time).blob(5, r.data).run();
        }
        if (!b.alarms.empty()) {
            Stmt ev(db,
                    "INSERT INTO alarm_event(time, device, key, detail, code, name, level, action, state, state_text) "
                    "VALUES(?,?,?,?,?,?,?,?,?,?)");
            Stmt up(db,
                    "INSERT OR REPLACE INTO active_alarm(device, key, detail, code, name, level, state, state_text, "
                    "since) VALUES(?,?,?,?,?,?,?,?,?)");
            Stmt del(db, "DELETE FROM active_alarm WHERE device=? AND key=? AND detail=?");
            for (const auto& c : b.alarms) {
                const Alarm& a = c.alarm;
                if (c.action != "update")
                    ev.text(1, b.time)
                        .integer(2, a.device)
                        .text(3, a.key)
                        .text(4, a.detail)
                        .text(5, a.code)
                        .text(6, a.name)
                        .integer(7, a.level)
                        .text(8, c.action)
                        .integer(9, a.state)
                        .text(10, a.state_text)
                        .run();
                if (c.action == "clear")
                    del.integer(1, a.device).text(2, a.key).text(3, a.detail).run();
                else
                    up.integer(1, a.device)
                        .text(2, a.key)
                        .text(3, a.detail)
                        .text(4, a.code)
                        .text(5, a.name)
                        .integer(6, a.level)
                        .integer(7, a.state)
                        .text(8, a.state_text)
                        .text(9, a.since)
                        .run();
            }
        }
        exec("COMMIT");
    } catch (...) {
        sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
}

void Store::run() {
    int failures = 0;
    for (;;) {
        std::pair<uint64_t, Batch>* item = nullptr;
        {
            std::unique_lock<std::mutex> lock(mutex);
            wake.wait(lock, [this] { return stopping || !queue.empty(); });
            if (queue.empty()) return;
            // The front stays queued until committed: a failed batch is retried.
            item = &queue.front();
        }
        try {
            write(item->second);
            failures = 0;
            std::lock_guard<std::mutex> lock(mutex);
            committed = item->first;
            queue.pop_front();
        } catch (const std::exception& e) {
            ++failures;
            std::unique_lock<std::mutex> lock(mutex);
            errors.push_back(fmt::format("database {}: {} (batch {} not stored{})", path, e.what(), item->first,
                                         stopping && failures >= 3 ? ", given up" : ", retrying"));
            if (stopping && failures >= 3) {
                queue.clear();
                lock.unlock();
                notify();
                return;
            }
            lock.unlock();
            notify();
            // Retries back off, but wake at once for a stop.
            std::unique_lock<std::mutex> wait_lock(mutex);
            wake.wait_for(wait_lock, std::chrono::milliseconds(std::min(5000, 200 * failures)),
                          [this] { return stopping; });
            continue;
        }
        notify();
    }
}

}  // namespace monitor
