// The alarm book and the database: state texts, one event per raise and
// clear, instances that went away, the book stored and loaded back; and the
// databases, ports and plug-ins that must stop the program with exit 3.

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <sstream>

#include "host/controller.h"
#include "monitor/alarm_book.h"
#include "monitor/events.h"
#include "monitor/store.h"
#include "tests/monitor/monitor_process.h"
#include "tests/monitor/test_support.h"

namespace monitor_test {
namespace {

using monitor::AlarmBook;
using monitor::AlarmChange;

rule_value Rule(const std::string& key, const std::string& detail, uint8_t state, uint32_t table = 0) {
    return rule_value{state, key, "06001", 2, 1, "name of " + key, detail, table};
}

std::vector<std::string> Actions(const std::vector<AlarmChange>& changes) {
    std::vector<std::string> out;
    for (const auto& c : changes) out.push_back(c.action + " " + c.alarm.key + "/" + c.alarm.detail + " " +
                                                std::to_string(c.alarm.state) + " " + c.alarm.state_text);
    return out;
}

TEST(AlarmBook, RaiseClearStateTextsAndVanishedInstances) {
    static const host::StateTable table{{0, "正常"}, {1, "告警"}, {3, "故障"}};
    const uint32_t id = host::intern_state_table(table);
    AlarmBook book;

    EXPECT_EQ(Actions(book.Evaluate(21, {Rule("A", "a1", 1), Rule("A", "a2", 0), Rule("S", "s", 3, id)}, "t1")),
              (std::vector<std::string>{"raise A/a1 1 ", "raise S/s 3 故障"}));
    // The same conditions again: nothing.
    EXPECT_TRUE(book.Evaluate(21, {Rule("A", "a1", 1), Rule("A", "a2", 0), Rule("S", "s", 3, id)}, "t2").empty());
    // Another non-zero state moves the row, raises nothing; a state the table
    // lacks shows its number.
    EXPECT_EQ(Actions(book.Evaluate(21, {Rule("S", "s", 7, id)}, "t3")), (std::vector<std::string>{"update S/s 7 7"}));
    EXPECT_EQ(book.Active().at({21, "S", "s"}).since, "t1");
    // Another device with the same key is another instance.
    EXPECT_EQ(book.Evaluate(22, {Rule("A", "a1", 1)}, "t4").size(), 1u);
    // a1 of device 21 is no longer checked while key A still is: it is cleared.
    EXPECT_EQ(Actions(book.Evaluate(21, {Rule("A", "a2", 0)}, "t5")), (std::vector<std::string>{"clear A/a1 0 "}));
    EXPECT_EQ(Actions(book.Evaluate(21, {Rule("S", "s", 0, id)}, "t6")), (std::vector<std::string>{"clear S/s 0 正常"}));
    EXPECT_TRUE(book.IsActive(22, "A", "a1"));
    EXPECT_FALSE(book.IsActive(21, "A", "a1"));

    monitor::Alarm link;
    link.device = 1;
    link.key = "link_lost";
    EXPECT_EQ(book.Set(link, true, "t7").size(), 1u);
    EXPECT_TRUE(book.Set(link, true, "t8").empty());
    EXPECT_EQ(book.Set(link, false, "t9").size(), 1u);
    EXPECT_TRUE(book.Set(link, false, "t9").empty());

    Json::Value active;
    std::istringstream(monitor::ActiveAlarmsJson(book.List())) >> active;
    ASSERT_EQ(active.size(), 1u);
    EXPECT_EQ(active[0]["device"].asUInt(), 22u);
    EXPECT_EQ(active[0]["since"].asString(), "t4");
    EXPECT_FALSE(active[0].isMember("action"));
}

TEST(Store, BatchesCommitInOrderAndTheBookLoadsBack) {
    TempDir dir;
    const std::string path = dir / "a.db";
    AlarmBook book;
    {
        monitor::Store store(path);
        EXPECT_TRUE(store.LoadCache().empty());
        EXPECT_TRUE(store.LoadActiveAlarms().empty());
        store.Start();
        uint64_t last = 0;
        for (int i = 0; i < 20; ++i) {
            monitor::Batch b;
            b.time = "t" + std::to_string(i);
            monitor::SnapshotRow row{b.time, 11, "m520s-ac", 5088, {1, 2, static_cast<unsigned char>(i)}};
            b.history.push_back(row);
            b.cache.push_back(row);
            b.alarms = book.Evaluate(11, {Rule("A", "x", static_cast<uint8_t>(i % 2)), Rule("B", "y", 1)}, b.time);
            const uint64_t tag = store.Submit(std::move(b));
            EXPECT_EQ(tag, last + 1);
            last = tag;
        }
        store.Stop();
        EXPECT_EQ(store.Committed(), last);
        EXPECT_TRUE(store.TakeErrors().empty());
    }
    monitor::Store again(path);
    const auto cache = again.LoadCache();
    ASSERT_EQ(cache.size(), 1u);
    EXPECT_EQ(cache[0].data, (std::vector<unsigned char>{1, 2, 19}));
    EXPECT_EQ(cache[0].type, 5088);
    const auto active = again.LoadActiveAlarms();
    ASSERT_EQ(active.size(), book.Active().size());
    for (const auto& a : active) {
        ASSERT_TRUE(book.IsActive(a.device, a.key, a.detail));
        EXPECT_EQ(book.Active().at({a.device, a.key, a.detail}).since, a.since);
    }
}

// Makes a database with one statement; "" leaves an empty file.
void MakeDb(const std::string& path, const std::string& sql) {
    sqlite3* h = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &h), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(h, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(h);
}

TEST(Store, WhatCannotBeOpenedExitsThreeAndStaysAsItWas) {
    TempDir dir;
    const std::string port = dir / "port";
    WriteFile(port, "");
    const std::string text = dir / "notes.db";
    WriteFile(text, "these are my notes, not a database\n");
    const std::string foreign = dir / "foreign.db";
    MakeDb(foreign, "CREATE TABLE readings(x); INSERT INTO readings VALUES(1);");
    const std::string newer = dir / "newer.db";
    {
        monitor::Store s(newer);
    }
    MakeDb(newer, "PRAGMA user_version=3;");
    const std::string changed = dir / "changed.db";
    {
        monitor::Store s(changed);
    }
    MakeDb(changed, "ALTER TABLE history ADD COLUMN extra;");

    struct Case {
        std::vector<std::string> args;
        std::string message;
        std::string file;  // must keep its bytes
    };
    const std::vector<Case> cases = {
        {{"--db", text}, "database " + text + ": file is not a database", text},
        {{"--db", foreign}, "database " + foreign + ": unknown schema (version 0, this program writes version 2)",
         foreign},
        {{"--db", newer}, "database " + newer + ": unknown schema (version 3, this program writes version 2)", newer},
        {{"--db", changed}, "database " + changed + ": unknown schema (table history has other columns)", changed},
        {{"--db", dir / "no/such/dir.db"}, "database " + (dir / "no/such/dir.db") + ": unable to open database file",
         ""},
        {{"--db", dir / "ok.db", "--port", dir / "missing-tty"}, "port " + (dir / "missing-tty") +
                                                                      ": No such file or directory", ""},
        {{"--db", dir / "ok.db", "--port", port}, "port " + port + ": Inappropriate ioctl for device", ""},
        {{"--db", dir / "ok.db", "--plugin", dir / "libnone.so"}, "plug-in " + (dir / "libnone.so") + ": ", ""},
        {{"--db", dir / "ok.db", "--plugin", text}, "plug-in " + text + ": ", ""},
    };
    const std::string config = WriteConfig(dir / "site.json", port, dir / "unused.db");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        const std::string before = c.file.empty() ? "" : ReadFile(c.file);
        std::vector<std::string> args{"--config", config, "--json"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        MonitorProcess mon(M520S_MONITOR_PATH, args);
        EXPECT_EQ(mon.Wait(), 3);
        EXPECT_EQ(mon.Stderr().rfind("m520s-monitor: " + c.message, 0), 0u) << mon.Stderr();
        if (!c.file.empty()) {
            EXPECT_EQ(ReadFile(c.file), before);
        }
    }
}

}  // namespace
}  // namespace monitor_test
