#include "monitor/sqlite_util.h"

#include <cstring>

namespace monitor {

std::string ErrorText(sqlite3* db) {
    if (!db) return "out of memory";
    std::string text = sqlite3_errmsg(db);
    const int sys = sqlite3_system_errno(db);
    const int code = sqlite3_errcode(db) & 0xff;
    // The system's word matters where the disk failed, not for a busy lock.
    if (sys != 0 && (code == SQLITE_IOERR || code == SQLITE_FULL || code == SQLITE_CANTOPEN))
        text += std::string(" (") + std::strerror(sys) + ")";
    return text;
}

SqlError::SqlError(sqlite3* db, int c) : StoreError(ErrorText(db)), code(c & 0xff) {}

void Exec(sqlite3* db, const char* sql) {
    char* err = nullptr;
    const int rc = sqlite3_exec(db, sql, nullptr, nullptr, &err);
    sqlite3_free(err);
    if (rc != SQLITE_OK) throw SqlError(db, rc);
}

void Exec(sqlite3* db, const std::string& sql) { Exec(db, sql.c_str()); }

int64_t QueryInt(sqlite3* db, const char* sql) {
    Stmt s(db, sql);
    return s.Step() ? s.ColInt(0) : 0;
}

Stmt::Stmt(sqlite3* d, const char* sql) : db(d) {
    const int rc = sqlite3_prepare_v2(db, sql, -1, &s, nullptr);
    if (rc != SQLITE_OK) throw SqlError(db, rc);
}

Stmt::~Stmt() { sqlite3_finalize(s); }

Stmt& Stmt::Text(int i, const std::string& v) {
    sqlite3_bind_text(s, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
    return *this;
}

Stmt& Stmt::Int(int i, int64_t v) {
    sqlite3_bind_int64(s, i, v);
    return *this;
}

Stmt& Stmt::Null(int i) {
    sqlite3_bind_null(s, i);
    return *this;
}

Stmt& Stmt::Blob(int i, const unsigned char* p, size_t n) {
    // An empty blob stays a blob, not NULL.
    static const unsigned char none = 0;
    sqlite3_bind_blob(s, i, n ? p : &none, static_cast<int>(n), SQLITE_TRANSIENT);
    return *this;
}

bool Stmt::Step() {
    const int rc = sqlite3_step(s);
    if (rc == SQLITE_ROW) return true;
    if (rc == SQLITE_DONE) return false;
    const SqlError e(db, rc);
    sqlite3_reset(s);
    throw e;
}

void Stmt::Run() {
    while (Step()) {
    }
    Reset();
}

void Stmt::Reset() {
    sqlite3_reset(s);
    sqlite3_clear_bindings(s);
}

std::string Stmt::ColText(int i) const {
    const unsigned char* t = sqlite3_column_text(s, i);
    return t ? std::string(reinterpret_cast<const char*>(t), static_cast<size_t>(sqlite3_column_bytes(s, i))) : "";
}

int64_t Stmt::ColInt(int i) const { return sqlite3_column_int64(s, i); }

std::optional<int64_t> Stmt::ColOptInt(int i) const {
    if (ColNull(i)) return std::nullopt;
    return ColInt(i);
}

bool Stmt::ColNull(int i) const { return sqlite3_column_type(s, i) == SQLITE_NULL; }

const unsigned char* Stmt::ColBlob(int i, size_t& n) const {
    const auto* p = static_cast<const unsigned char*>(sqlite3_column_blob(s, i));
    n = p ? static_cast<size_t>(sqlite3_column_bytes(s, i)) : 0;
    return p;
}

std::vector<unsigned char> Stmt::ColBlobCopy(int i) const {
    size_t n = 0;
    const unsigned char* p = ColBlob(i, n);
    return p ? std::vector<unsigned char>(p, p + n) : std::vector<unsigned char>{};
}

Transaction::Transaction(sqlite3* d) : db(d), nested(!sqlite3_get_autocommit(d)) {
    Exec(db, nested ? "SAVEPOINT nested" : "BEGIN IMMEDIATE");
}

Transaction::~Transaction() {
    if (!open || sqlite3_get_autocommit(db)) return;
    if (nested)
        sqlite3_exec(db, "ROLLBACK TO nested; RELEASE nested", nullptr, nullptr, nullptr);
    else
        sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
}

void Transaction::Commit() {
    Exec(db, nested ? "RELEASE nested" : "COMMIT");
    open = false;
}

}  // namespace monitor
