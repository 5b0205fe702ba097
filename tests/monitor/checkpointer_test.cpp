// The journal copied back on a connection of its own, while the writer goes on.

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <filesystem>

#include "monitor/checkpointer.h"
#include "tests/monitor/e2e_support.h"
#include "tests/monitor/history_support.h"
#include "tests/monitor/test_support.h"

namespace monitor_test {
namespace {

TEST(Checkpointer, CopiesTheJournalBackWhileTheWriterCommitsAndNeverWaits) {
    TempDir dir;
    const std::string path = dir / "j.db";
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    const auto run = [&](const char* sql) {
        ASSERT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, nullptr), SQLITE_OK) << sql;
    };
    const auto fill = [&] {
        run("WITH RECURSIVE k(n) AS (SELECT 1 UNION ALL SELECT n + 1 FROM k WHERE n < 500) "
            "INSERT INTO t SELECT randomblob(1000) FROM k");
    };
    run("PRAGMA journal_mode=WAL; PRAGMA wal_autocheckpoint=0; CREATE TABLE t(x BLOB)");
    fill();
    // Everything is in the journal; the file itself holds the empty table.
    const auto before = static_cast<int64_t>(std::filesystem::file_size(path));
    EXPECT_LT(before, 64 * 1024);
    {
        monitor::Checkpointer c(path);
        ASSERT_TRUE(c.Request());
        for (int k = 0; k < 4; ++k) fill();  // the writer is not held up meanwhile
        EXPECT_TRUE(Eventually([&] { return c.Stats().n >= 1; }));
        EXPECT_EQ(c.Stats().failed, 0);
        EXPECT_GT(static_cast<int64_t>(std::filesystem::file_size(path)), before + 400 * 1000);
        // Two requests made while one runs or waits become at most two more.
        c.Request();
        c.Request();
        EXPECT_TRUE(Eventually([&] { return c.Stats().n >= 2; }));
        EXPECT_LE(c.Stats().n, 3);
    }
    EXPECT_EQ(Count(path, "SELECT count(*) FROM t"), 2500);
    sqlite3_close(db);
    // No database there: nothing to do, and the store checkpoints itself.
    EXPECT_FALSE(monitor::Checkpointer(dir / "missing/x.db").Request());
}

}  // namespace
}  // namespace monitor_test
