// m520s-monitor against a controller whose every byte the test decides: the
// JSON lines, the tables, one event per raise and clear, a silent line, a
// restart on the same database and a kill -9 in the middle of polling.

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <map>
#include <set>

#include "tests/monitor/monitor_process.h"
#include "tests/monitor/reference_site.h"
#include "tests/monitor/test_support.h"

namespace monitor_test {
namespace {

int64_t Count(const std::string& db, const std::string& sql) {
    sqlite3* h = nullptr;
    EXPECT_EQ(sqlite3_open_v2(db.c_str(), &h, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    sqlite3_stmt* s = nullptr;
    int64_t n = -1;
    if (sqlite3_prepare_v2(h, sql.c_str(), -1, &s, nullptr) == SQLITE_OK && sqlite3_step(s) == SQLITE_ROW)
        n = sqlite3_column_int64(s, 0);
    else
        ADD_FAILURE() << sql << ": " << sqlite3_errmsg(h);
    sqlite3_finalize(s);
    sqlite3_close(h);
    return n;
}

bool IsCycle(const Json::Value& e) { return e["event"] == "cycle"; }

const Json::Value* Unit(const Json::Value& cycle, unsigned device, const std::string& type) {
    for (const auto& u : cycle["units"])
        if (u["device"].asUInt() == device && u["device_type"] == type) return &u;
    return nullptr;
}

// (action, device, key, detail) of every alarm event seen.
using AlarmKey = std::tuple<std::string, unsigned, std::string, std::string>;
std::multiset<AlarmKey> Alarms(const std::vector<Json::Value>& events) {
    std::multiset<AlarmKey> out;
    for (const auto& e : events)
        if (e["event"] == "alarm")
            out.emplace(e["action"].asString(), e["device"].asUInt(), e["key"].asString(), e["detail"].asString());
    return out;
}

TEST(ScriptedLine, ValuesAlarmsSilenceAndRestart) {
    TempDir dir;
    FakeController line;
    line.Change([](ReferenceSite& s) { s.rc_fault[2] = 1; });
    const std::string db = dir / "site.db";
    const std::string config = WriteConfig(dir / "site.json", line.Path(), db);
    const AlarmKey module3{"raise", 1, "RC_0", "模块3整流模块故障告警"};

    {
        MonitorProcess mon(M520S_MONITOR_PATH, {"--config", config, "--json"});
        std::vector<Json::Value> seen;
        const Json::Value first = mon.WaitFor(IsCycle, 20000, &seen);
        ASSERT_FALSE(first.isNull()) << mon.Stderr();

        // A fresh database: every child restored from nothing, before any cycle.
        std::vector<std::string> restored;
        for (const auto& e : seen)
            if (e["event"] == "restore") {
                EXPECT_FALSE(e["ok"].asBool());
                restored.push_back(e["device_type"].asString() + ":" + std::to_string(e["device"].asUInt()));
            }
        EXPECT_EQ(restored, (std::vector<std::string>{"m520s-ac:11", "m520s-ac:12", "m520s-dc:21", "m520s-dc:22",
                                                      "m520s-rc:1"}));

        // The values, decoded by field name.
        EXPECT_EQ(first["n"].asUInt(), 1u);
        EXPECT_GT(first["duration_ms"].asInt(), 0);
        ASSERT_EQ(first["units"].size(), 5u);
        const Json::Value* ac = Unit(first, 12, "m520s-ac");
        ASSERT_NE(ac, nullptr);
        EXPECT_TRUE((*ac)["fresh"].asBool());
        EXPECT_EQ((*ac)["values"]["ia"].asDouble(), 11.75);
        ASSERT_EQ((*ac)["values"]["channels"].size(), 3u);
        EXPECT_EQ((*ac)["values"]["channels"][2]["a"].asDouble(), 241.5);
        EXPECT_EQ((*ac)["values"]["channels"][0]["b"].asDouble(), 230.1);
        EXPECT_EQ((*ac)["values"]["p40_43_state"][2].asInt(), 1);
        const Json::Value* dc = Unit(first, 22, "m520s-dc");
        ASSERT_NE(dc, nullptr);
        EXPECT_EQ((*dc)["values"]["v"].asDouble(), 54.0);
        EXPECT_EQ((*dc)["values"]["dc_m_value"][1].asDouble(), -2.5);
        EXPECT_EQ((*dc)["values"]["user_p"][19].asDouble(), 9.5);
        const Json::Value* rc = Unit(first, 1, "m520s-rc");
        ASSERT_NE(rc, nullptr);
        ASSERT_EQ((*rc)["values"]["modules"].size(), 8u);
        EXPECT_EQ((*rc)["values"]["modules"][7]["module_value"].asDouble(), 27.0);
        EXPECT_EQ((*rc)["values"]["modules"][2]["fault_state"].asInt(), 1);
        EXPECT_EQ((*rc)["values"]["ac_param"][3].asDouble(), 55.0);
        EXPECT_EQ(Alarms(seen).count(module3), 1u);

        // The next cycles raise nothing again.
        seen.clear();
        ASSERT_FALSE(mon.WaitFor([](const Json::Value& e) { return IsCycle(e) && e["n"].asUInt() == 2; }, 20000, &seen)
                         .isNull());
        EXPECT_EQ(Alarms(seen).size(), 0u);

        // One fault goes, a voltage alarm comes: one event each.
        line.Change([](ReferenceSite& s) {
            s.rc_fault[2] = 0;
            s.dc_v_state[0] = 2;
        });
        seen.clear();
        ASSERT_FALSE(mon.WaitFor([](const Json::Value& e) { return IsCycle(e) && e["n"].asUInt() == 4; }, 30000, &seen)
                         .isNull());
        const auto changes = Alarms(seen);
        EXPECT_EQ(changes.count({"clear", 1, "RC_0", "模块3整流模块故障告警"}), 1u);
        EXPECT_EQ(changes.count({"raise", 21, "DC_1", "输出电压过高告警"}), 1u);
        EXPECT_EQ(changes.size(), 2u);

        // Silence: the link goes down once, link_lost is raised; recovery clears it.
        line.silent = true;
        seen.clear();
        const Json::Value down =
            mon.WaitFor([](const Json::Value& e) { return e["event"] == "link" && e["state"] == "down"; }, 20000, &seen);
        ASSERT_FALSE(down.isNull());
        EXPECT_GE(down["counters"]["give_ups"].asUInt(), 1u);
        ASSERT_FALSE(mon.WaitFor([](const Json::Value& e) { return e["event"] == "alarm" && e["key"] == "link_lost"; })
                         .isNull());
        line.silent = false;
        seen.clear();
        ASSERT_FALSE(mon.WaitFor(IsCycle, 30000, &seen).isNull());
        bool up = false;
        for (const auto& e : seen) up = up || (e["event"] == "link" && e["state"] == "up");
        EXPECT_TRUE(up);
        EXPECT_EQ(Alarms(seen), (std::multiset<AlarmKey>{{"clear", 1, "link_lost", ""}}));

        mon.Signal(SIGTERM);
        EXPECT_EQ(mon.Wait(), 0) << mon.Stderr();
        int cycles = 0;
        for (const auto& e : mon.Rest()) cycles += IsCycle(e);
        (void)cycles;
    }

    // The tables: history rows come five to a cycle, the alarm book is stored.
    const int64_t history = Count(db, "SELECT count(*) FROM history");
    EXPECT_GE(history, 25);
    EXPECT_EQ(history % 5, 0);
    EXPECT_EQ(Count(db, "SELECT count(*) FROM cache"), 5);
    EXPECT_EQ(Count(db, "SELECT count(*) FROM active_alarm WHERE device=21 AND key='DC_1'"), 1);
    EXPECT_EQ(Count(db, "SELECT count(*) FROM active_alarm"), 1);
    EXPECT_EQ(Count(db, "SELECT count(*) FROM alarm_event WHERE key='RC_0' AND action='raise'"), 1);
    EXPECT_EQ(Count(db, "SELECT count(*) FROM alarm_event WHERE key='link_lost'"), 2);

    // Restart on the same database: values restored, the alarm still true is not raised again.
    {
        MonitorProcess mon(M520S_MONITOR_PATH, {"--config", config, "--json", "--cycles", "2"});
        std::vector<Json::Value> seen;
        ASSERT_FALSE(mon.WaitFor([](const Json::Value& e) { return IsCycle(e) && e["n"].asUInt() == 2; }, 30000, &seen)
                         .isNull())
            << mon.Stderr();
        int ok = 0;
        for (const auto& e : seen) ok += e["event"] == "restore" && e["ok"].asBool();
        EXPECT_EQ(ok, 5);
        EXPECT_EQ(Alarms(seen).size(), 0u);
        EXPECT_EQ(mon.Wait(), 0);
    }
    EXPECT_EQ(Count(db, "SELECT count(*) FROM alarm_event WHERE key='DC_1'"), 1);
}

TEST(ScriptedLine, KillNineLosesNoReportedCycle) {
    TempDir dir;
    FakeController line;
    const std::string db = dir / "site.db";
    const std::string config = WriteConfig(dir / "site.json", line.Path(), db);
    MonitorProcess mon(M520S_MONITOR_PATH, {"--config", config, "--json"});
    uint64_t reported = 0;
    ASSERT_FALSE(mon.WaitFor([&](const Json::Value& e) {
                        if (IsCycle(e)) reported = e["n"].asUInt();
                        return reported == 2;
                    })
                     .isNull())
        << mon.Stderr();
    // In the middle of the third cycle's conversation.
    const int before = line.requests;
    while (line.requests < before + 3) usleep(10000);
    mon.Signal(SIGKILL);
    EXPECT_EQ(mon.Wait(), 128 + SIGKILL);
    for (const auto& e : mon.Rest())
        if (IsCycle(e)) reported = e["n"].asUInt();
    const int64_t history = Count(db, "SELECT count(*) FROM history");
    EXPECT_GE(history, static_cast<int64_t>(5 * reported));
    EXPECT_EQ(history % 5, 0) << "a cycle is stored whole or not at all";
}

}  // namespace
}  // namespace monitor_test
