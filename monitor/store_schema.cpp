#include "monitor/store_schema.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include <fmt/format.h>

#include "monitor/sqlite_util.h"

namespace monitor::schema {

namespace {

const char* const kVersion1Tables = R"SQL(
CREATE TABLE history(id INTEGER PRIMARY KEY, time TEXT, device INTEGER, device_type TEXT, type INTEGER, data BLOB);
CREATE TABLE cache(device INTEGER, device_type TEXT, type INTEGER, time TEXT, data BLOB,
                   PRIMARY KEY(device, device_type));
CREATE TABLE alarm_event(id INTEGER PRIMARY KEY, time TEXT, device INTEGER, key TEXT, detail TEXT, code TEXT,
                         name TEXT, level INTEGER, action TEXT, state INTEGER, state_text TEXT);
CREATE TABLE active_alarm(device INTEGER, key TEXT, detail TEXT, code TEXT, name TEXT, level INTEGER,
                          state INTEGER, state_text TEXT, since TEXT, PRIMARY KEY(device, key, detail));
)SQL";

// From version 1 to 2; also the second half of a new database.
const char* const kToVersion2 = R"SQL(
ALTER TABLE history ADD COLUMN ms INTEGER;
ALTER TABLE alarm_event ADD COLUMN ms INTEGER;
CREATE TABLE rollup(id INTEGER PRIMARY KEY, step INTEGER, start_ms INTEGER, device INTEGER, device_type TEXT,
                    first_id INTEGER, last_id INTEGER, data BLOB);
CREATE UNIQUE INDEX rollup_time ON rollup(step, start_ms, device, device_type);
PRAGMA user_version=2;
)SQL";

struct TableShape {
    const char* name;
    std::vector<std::string> columns;
};

std::vector<TableShape> shapes(int version) {
    std::vector<TableShape> t = {
        {"history", {"id", "time", "device", "device_type", "type", "data"}},
        {"cache", {"device", "device_type", "type", "time", "data"}},
        {"alarm_event",
         {"id", "time", "device", "key", "detail", "code", "name", "level", "action", "state", "state_text"}},
        {"active_alarm", {"device", "key", "detail", "code", "name", "level", "state", "state_text", "since"}},
    };
    if (version >= 2) {
        t[0].columns.push_back("ms");
        t[2].columns.push_back("ms");
        t.push_back({"rollup", {"id", "step", "start_ms", "device", "device_type", "first_id", "last_id", "data"}});
    }
    return t;
}

std::string unknown_version(int64_t v) {
    return fmt::format("unknown schema (version {}, this program writes version {})", v, kVersion);
}

[[noreturn]] void refuse(const std::string& path, const std::string& why) {
    throw StoreError(fmt::format("database {}: {}", path, why));
}

bool exists(const std::string& p) {
    struct stat st;
    return ::stat(p.c_str(), &st) == 0;
}

std::string dir_of(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

uint32_t be32(const unsigned char* p) {
    return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}

// What the file says of itself before SQLite touches it (opening a WAL
// database creates its -wal and -shm files). Returns false for a new file.
bool check_file(const std::string& path, bool writing) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) {
        if (!writing) refuse(path, std::strerror(errno));
        return false;
    }
    if (!S_ISREG(st.st_mode)) refuse(path, "not a regular file");
    if (writing && ::access(path.c_str(), R_OK | W_OK) != 0)
        refuse(path, fmt::format("cannot be written ({}), it must be writable", std::strerror(errno)));
    if (writing && ::access(dir_of(path).c_str(), W_OK) != 0)
        refuse(path, fmt::format("its directory cannot be written ({}); the journal goes beside it",
                                 std::strerror(errno)));
    if (st.st_size == 0) return false;
    unsigned char head[100] = {};
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) refuse(path, std::strerror(errno));
    const ssize_t n = ::read(fd, head, sizeof head);
    ::close(fd);
    if (n != static_cast<ssize_t>(sizeof head) || std::memcmp(head, "SQLite format 3", 16) != 0)
        refuse(path, "file is not a database");
    // Without a -wal file beside it the header is the last word.
    const uint32_t version = be32(head + 60);
    if (!exists(path + "-wal") && version > static_cast<uint32_t>(kVersion)) refuse(path, unknown_version(version));
    return true;
}

void check_shapes(sqlite3* db, int version) {
    for (const auto& t : shapes(version)) {
        std::vector<std::string> cols;
        Stmt s(db, fmt::format("PRAGMA table_info({})", t.name).c_str());
        while (s.Step()) cols.push_back(s.ColText(1));
        if (cols != t.columns)
            throw StoreError(fmt::format("unknown schema (table {} {})", t.name,
                                         cols.empty() ? "missing" : "has other columns"));
    }
}

void in_transaction(sqlite3* db, const char* sql) {
    Transaction t(db);
    Exec(db, sql);
    t.Commit();
}

// Returns what was done: 0 checked, 1 created, 2 migrated.
int prepare(sqlite3* db) {
    const int64_t objects = QueryInt(db, "SELECT count(*) FROM sqlite_master");
    const int64_t version = QueryInt(db, "PRAGMA user_version");
    if (sqlite3_db_readonly(db, "main") == 1) throw StoreError("opened read-only, it must be writable");
    if (objects == 0 && version == 0) {
        Exec(db, fmt::format("PRAGMA page_size={}; PRAGMA auto_vacuum=INCREMENTAL", kPageSize));
        Exec(db, "PRAGMA journal_mode=WAL");
        in_transaction(db, (std::string(kVersion1Tables) + kToVersion2).c_str());
        return 1;
    }
    if (version == 1) {
        check_shapes(db, 1);
        in_transaction(db, kToVersion2);
        return 2;
    }
    if (version != kVersion) throw StoreError(unknown_version(version));
    check_shapes(db, kVersion);
    return 0;
}

}  // namespace

Opened OpenForWriting(const std::string& path) {
    if (path.empty()) throw StoreError("database: no path given");
    const bool existed = check_file(path, true);
    Opened o;
    const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX | (existed ? 0 : SQLITE_OPEN_CREATE);
    const int rc = sqlite3_open_v2(path.c_str(), &o.db, flags, nullptr);
    try {
        if (rc != SQLITE_OK) throw StoreError(o.db ? sqlite3_errmsg(o.db) : sqlite3_errstr(rc));
        sqlite3_busy_timeout(o.db, 2000);
        const int done = prepare(o.db);
        o.created = done == 1;
        o.migrated = done == 2;
        ConfigureWriter(o.db);
    } catch (const StoreError& e) {
        sqlite3_close(o.db);
        refuse(path, e.what());
    }
    return o;
}

sqlite3* OpenForReading(const std::string& path) {
    if (path.empty()) throw StoreError("database: no path given");
    check_file(path, false);
    // With no -wal beside it nobody is writing: read it as it stands, so a
    // query leaves no -wal and -shm files behind.
    std::string uri = "file:";
    for (const char c : path) uri += c == '%' ? "%25" : c == '?' ? "%3f" : c == '#' ? "%23" : std::string(1, c);
    if (!exists(path + "-wal")) uri += "?immutable=1";
    sqlite3* db = nullptr;
    const int rc = sqlite3_open_v2(uri.c_str(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_URI,
                                   nullptr);
    try {
        if (rc != SQLITE_OK) throw StoreError(db ? sqlite3_errmsg(db) : sqlite3_errstr(rc));
        sqlite3_busy_timeout(db, 2000);
        const int64_t version = QueryInt(db, "PRAGMA user_version");
        if (version == 1)
            throw StoreError("schema version 1; m520s-monitor migrates it to version 2 when it starts on it");
        if (version != kVersion) throw StoreError(unknown_version(version));
        check_shapes(db, kVersion);
    } catch (const StoreError& e) {
        sqlite3_close(db);
        refuse(path, e.what());
    }
    return db;
}

bool ConvertSmallFile(sqlite3* db, const std::string& path) {
    constexpr int64_t kLargest = 64LL << 20;
    const int64_t pages = QueryInt(db, "PRAGMA page_count"), size = QueryInt(db, "PRAGMA page_size");
    if (QueryInt(db, "PRAGMA auto_vacuum") == 2 && size == kPageSize) return false;
    if (pages * size > kLargest) return false;
    // The page size changes only outside WAL, and only while nobody else has
    // the file open; a busy file keeps its pages until another start.
    try {
        Exec(db, "PRAGMA journal_mode=DELETE");
        Exec(db, "PRAGMA synchronous=FULL");
        Exec(db, fmt::format("PRAGMA page_size={}; PRAGMA auto_vacuum=INCREMENTAL", kPageSize));
        Exec(db, "VACUUM");
    } catch (const SqlError&) {
    }
    try {
        Exec(db, "PRAGMA journal_mode=WAL");
    } catch (const SqlError& e) {
        refuse(path, std::string("cannot switch back to WAL journal: ") + e.what());
    }
    ConfigureWriter(db);
    return QueryInt(db, "PRAGMA page_size") == kPageSize;
}

void ConfigureWriter(sqlite3* db) {
    Stmt mode(db, "PRAGMA journal_mode=WAL");
    if (!mode.Step() || mode.ColText(0) != "wal") throw StoreError("cannot switch to WAL journal");
    Exec(db, "PRAGMA synchronous=NORMAL; PRAGMA wal_autocheckpoint=0; PRAGMA journal_size_limit=4194304");
    // Debian's SQLite zeroes every page a delete frees, which writes it once
    // more; FAST clears deleted rows only in pages that are written anyway.
    // Pruning frees pages all day long once the history is full.
    Exec(db, "PRAGMA secure_delete=FAST");
}

}  // namespace monitor::schema
