#pragma once
// What the store and the history reader share of SQLite's C API: prepared
// statements that finalize themselves, and errors worded once.

#include <sqlite3.h>

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace monitor {

class StoreError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A failed SQLite call: the library's message, the system's reason where it
// has one ("disk I/O error (File too large)"), and the primary result code.
class SqlError : public StoreError {
public:
    SqlError(sqlite3* db, int code);
    int code;
};

// SQLite's message for db, with the system error behind it where there is one.
std::string ErrorText(sqlite3* db);

// Runs statements without results; throws SqlError.
void Exec(sqlite3* db, const char* sql);
void Exec(sqlite3* db, const std::string& sql);
// The first column of the first row, as an integer (0 for none).
int64_t QueryInt(sqlite3* db, const char* sql);

class Stmt {
public:
    Stmt(sqlite3* db, const char* sql);
    ~Stmt();
    Stmt(const Stmt&) = delete;
    Stmt& operator=(const Stmt&) = delete;

    Stmt& Text(int i, const std::string& v);
    Stmt& Int(int i, int64_t v);
    Stmt& Null(int i);
    Stmt& Blob(int i, const unsigned char* p, size_t n);
    Stmt& Blob(int i, const std::vector<unsigned char>& v) { return Blob(i, v.data(), v.size()); }

    // true while there is a row; throws SqlError.
    bool Step();
    // Steps to the end, then resets for the next use.
    void Run();
    void Reset();

    std::string ColText(int i) const;
    int64_t ColInt(int i) const;
    std::optional<int64_t> ColOptInt(int i) const;
    bool ColNull(int i) const;
    // The column's bytes, valid until the next step.
    const unsigned char* ColBlob(int i, size_t& n) const;
    std::vector<unsigned char> ColBlobCopy(int i) const;

private:
    sqlite3* db;
    sqlite3_stmt* s = nullptr;
};

// BEGIN IMMEDIATE ... COMMIT; rolls back if left without Commit().
class Transaction {
public:
    explicit Transaction(sqlite3* db);
    ~Transaction();
    void Commit();

private:
    sqlite3* db;
    bool open = true;
    bool nested;  // inside another: a savepoint, so both commit as one
};

}  // namespace monitor
