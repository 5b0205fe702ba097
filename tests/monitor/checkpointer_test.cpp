// The journal copied back on a connection of its own, while the writer goes on.

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <string>

#include "monitor/checkpointer.h"
#include "tests/monitor/history_support.h"
#include "tests/monitor/test_support.h"

namespace monitor_test {
namespace {

int64_t FileSize(const std::string& p) {
    struct stat st;
    return ::stat(p.c_str(), &st) == 0 ? st.st_size : -1;
}

void Exec(sqlite3* db, const std::string& sql) {
    ASSERT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sql;
}

TEST(Checkpointer, CopiesTheJournalBackWhileTheWriterCommitsAndNeverWaits) {
    TempDir dir;
    const std::string path = dir / "j.db";
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    Exec(db, "PRAGMA journal_mode=WAL; PRAGMA wal_autocheckpoint=0; CREATE TABLE t(x BLOB)");
    const auto fill = [&] {
        sqlite3_stmt* s = nullptr;
        ASSERT_EQ(sqlite3_prepare_v2(db, "WITH RECURSIVE k(n) AS (SELECT 1 UNION ALL SELECT n + 1 FROM k WHERE n < 500) "
                                         "INSERT INTO t SELECT randomblob(1000) FROM k", -1, &s, nullptr),
                  SQLITE_OK);
        ASSERT_EQ(sqlite3_step(s), SQLITE_DONE);
        sqlite3_finalize(s);
    };
    fill();
    // Everything is in the journal; the file itself holds the empty table.
    const int64_t before = FileSize(path);
    EXPECT_LT(before, 64 * 1024);
    {
        monitor::Checkpointer c(path);
        ASSERT_TRUE(c.Request());
        // The writer is not held up meanwhile.
        for (int k = 0; k < 4; ++k) fill();
        EXPECT_TRUE(Eventually([&] { return c.Stats().n >= 1; }));
        EXPECT_EQ(c.Stats().failed, 0);
        EXPECT_GT(FileSize(path), before + 400 * 1000);
        // Two requests made while one runs or waits become at most two more.
        c.Request();
        c.Request();
        EXPECT_TRUE(Eventually([&] { return c.Stats().n >= 2; }));
        EXPECT_LE(c.Stats().n, 3);
    }
    sqlite3_stmt* s = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db, "SELECT count(*) FROM t", -1, &s, nullptr), SQLITE_OK);
    ASSERT_EQ(sqlite3_step(s), SQLITE_ROW);
    EXPECT_EQ(sqlite3_column_int(s, 0), 2500);
    sqlite3_finalize(s);
    sqlite3_close(db);

    // No database there: nothing to do, and the store checkpoints itself.
    monitor::Checkpointer none(dir / "missing/x.db");
    EXPECT_FALSE(none.Request());
}

}  // namespace
}  // namespace monitor_test
