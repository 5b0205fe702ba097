// A failing disk under the running program, against m520s-sim: another
// program holding the database locked, then a file size limit (a full
// disk; SIGXFSZ must not kill it), each shown by a "storage" event, the
// cycles held and reported in order once writing works again; and a lock
// still held at stop, which ends in exit 5 and one line saying how much was
// lost.

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/resource.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <sstream>

#include "tests/monitor/e2e_support.h"
#include "tests/monitor/monitor_process.h"
#include "tests/monitor/test_support.h"
#include "tests/support/time_scale.h"

namespace monitor_test {
namespace {

int Ms(int seconds) { return static_cast<int>(Scaled(std::chrono::seconds(seconds)).count()); }

// Holds the write lock, as another program would.
struct Locker {
    sqlite3* h = nullptr;
    explicit Locker(const std::string& db) {
        EXPECT_EQ(sqlite3_open(db.c_str(), &h), SQLITE_OK);
        sqlite3_busy_timeout(h, 10000);
        EXPECT_EQ(sqlite3_exec(h, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(h);
    }
    ~Locker() {
        sqlite3_exec(h, "ROLLBACK", nullptr, nullptr, nullptr);
        sqlite3_close(h);
    }
};

struct Watch {
    MonitorProcess& mon;
    uint64_t last_n = 0;
    int gaps = 0;
    void Note(const Json::Value& e) {
        if (e["event"] != "cycle") return;
        gaps += e["n"].asUInt64() != last_n + 1;
        last_n = e["n"].asUInt64();
    }
    // Events until pred (null when the time runs out); cycles are checked to
    // come in order without a gap.
    Json::Value Until(const std::function<bool(const Json::Value&)>& pred, int seconds) {
        return mon.WaitFor(
            [&](const Json::Value& e) {
                Note(e);
                return pred(e);
            },
            Ms(seconds));
    }
};

bool Storage(const Json::Value& e, const char* state) { return e["event"] == "storage" && e["state"] == state; }

// The soft limit only: it can be raised again without privileges.
void Limit(pid_t pid, rlim_t bytes) {
    rlimit now{};
    ASSERT_EQ(prlimit(pid, RLIMIT_FSIZE, nullptr, &now), 0) << std::strerror(errno);
    const rlimit r{std::min(bytes, now.rlim_max), now.rlim_max};
    ASSERT_EQ(prlimit(pid, RLIMIT_FSIZE, &r, nullptr), 0) << std::strerror(errno);
}

TEST(FailingDisk, HeldReportedInOrderRecoveredAndAtStopExitFive) {
    TempDir dir;
    Sim sim({});
    const std::string db = dir / "site.db";
    std::string config = WriteConfig(dir / "site.json", sim.pty, db);
    // Each cycle its own commit, so the test need not wait for company.
    WriteFile(config, ReadFile(config).substr(0, ReadFile(config).rfind('}')) + R"(,"history": {"commit_s": 0}})");
    MonitorProcess mon(M520S_MONITOR_PATH, {"--config", config, "--json"});
    Watch w{mon};
    ASSERT_FALSE(w.Until([](const Json::Value& e) { return e["event"] == "cycle"; }, 30).isNull()) << mon.Stderr();

    // Another program holds the lock: cycles wait, the event says why.
    uint64_t before;
    {
        Locker other(db);
        const Json::Value e = w.Until([](const Json::Value& e) { return Storage(e, "error"); }, 60);
        ASSERT_FALSE(e.isNull()) << mon.Stderr();
        EXPECT_EQ(e["reason"], "database is locked");
        EXPECT_GE(e["held"].asUInt64(), 1u);
        before = w.last_n;
        // A few seconds more of polling: no cycle is reported while it lasts.
        w.Until([](const Json::Value&) { return false; }, 4);
        EXPECT_EQ(w.last_n, before);
    }
    const Json::Value ok = w.Until([](const Json::Value& e) { return Storage(e, "ok"); }, 60);
    ASSERT_FALSE(ok.isNull());
    EXPECT_EQ(ok["dropped"], 0);
    ASSERT_FALSE(w.Until([&](const Json::Value& e) { return e["event"] == "cycle" && w.last_n > before + 1; }, 60)
                     .isNull());

    // The file may not grow: writes fail (no SIGXFSZ death), then work again.
    Limit(mon.Pid(), 4096);
    const Json::Value full = w.Until([](const Json::Value& e) { return Storage(e, "error"); }, 60);
    ASSERT_FALSE(full.isNull()) << mon.Stderr();
    EXPECT_EQ(full["reason"].asString().rfind("disk I/O error", 0), 0u) << full["reason"];
    const uint64_t held_at = w.last_n;
    Limit(mon.Pid(), RLIM_INFINITY);
    ASSERT_FALSE(w.Until([](const Json::Value& e) { return Storage(e, "ok"); }, 60).isNull()) << mon.Stderr();
    ASSERT_FALSE(w.Until([&](const Json::Value& e) { return e["event"] == "cycle" && w.last_n > held_at; }, 60)
                     .isNull());

    // Locked at stop: a few tries, exit 5, one line on how much was lost.
    {
        Locker other(db);
        ASSERT_FALSE(w.Until([](const Json::Value& e) { return Storage(e, "error"); }, 60).isNull());
        mon.Signal(SIGTERM);
        EXPECT_EQ(mon.Wait(Ms(60)), 5);
    }
    for (const auto& e : mon.Rest()) w.Note(e);
    const std::string err = mon.Stderr();
    EXPECT_EQ(err.rfind("m520s-monitor: database " + db + ": ", 0), 0u) << err;
    EXPECT_NE(err.find(" cycles and 0 alarm events could not be written (database is locked)"), std::string::npos)
        << err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1);
    EXPECT_EQ(w.gaps, 0);
    // What was reported is stored, and only that.
    EXPECT_EQ(Count(db, "SELECT count(*) FROM history"), 5 * static_cast<int64_t>(w.last_n));
}

}  // namespace
}  // namespace monitor_test
