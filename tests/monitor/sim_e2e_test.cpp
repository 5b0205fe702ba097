// m520s-monitor against m520s-sim over a pseudo-terminal, through the real
// plug-in and serial code: values and alarms in the JSON lines and the
// tables, one event per raise and clear, a silent line, a restart on the
// same database, kill -9 in the middle of polling, and a capture the
// simulator replays.

#include <gtest/gtest.h>

#include <filesystem>
#include <set>

#include <fmt/format.h>

#include "host/pmbus_protocol.h"
#include "tests/monitor/e2e_support.h"
#include "tests/monitor/monitor_process.h"
#include "tests/monitor/test_support.h"

namespace monitor_test {
namespace {

bool IsCycle(const Json::Value& e) { return e["event"] == "cycle"; }
auto CycleN(unsigned n) {
    return [n](const Json::Value& e) { return IsCycle(e) && e["n"].asUInt() == n; };
}

// "action device key detail" of each alarm event, with the cycle count
// reported before it.
std::multiset<std::string> Alarms(const std::vector<Json::Value>& events) {
    std::multiset<std::string> out;
    unsigned cycles = 0;
    for (const auto& e : events) {
        if (IsCycle(e)) cycles = e["n"].asUInt();
        if (e["event"] == "alarm")
            out.insert(fmt::format("{} {} {} {} after {}", e["action"].asString(), e["device"].asUInt(),
                                   e["key"].asString(), e["detail"].asString(), cycles));
    }
    return out;
}

std::vector<std::string> Args(const std::string& config, std::vector<std::string> more) {
    std::vector<std::string> a{"--config", config, "--json"};
    a.insert(a.end(), more.begin(), more.end());
    return a;
}

TEST(SimLine, ValuesAndAlarmsArriveOnceInLinesAndTables) {
    TempDir dir;
    WriteFile(dir / "scenario.json", R"({"timeline": [
        {"at_cycle": 1, "set": {"ac[0].channels[1].a": 231.5, "dc[1].v": 54.25, "rectifier.modules[7].module_value": 21.75}},
        {"at_cycle": 3, "set": {"ac[0].channels[0].a_state": 1, "dc[1].v_state": 1}},
        {"at_cycle": 5, "set": {"ac[0].channels[0].a_state": 0, "dc[1].v_state": 0}}]})");
    Sim sim({"--scenario", dir / "scenario.json"});
    const std::string db = dir / "site.db";
    const std::string config = WriteConfig(dir / "site.json", sim.pty, db);

    MonitorProcess mon(M520S_MONITOR_PATH, Args(config, {"--cycles", "6"}));
    std::vector<Json::Value> seen;
    const Json::Value first = mon.WaitFor(CycleN(1), 20000, &seen);
    ASSERT_FALSE(first.isNull()) << mon.Stderr();
    ASSERT_FALSE(mon.WaitFor(CycleN(6), 40000, &seen).isNull()) << mon.Stderr();
    EXPECT_EQ(mon.Wait(), 0) << mon.Stderr();

    int restored = 0;
    for (const auto& e : seen) restored += e["event"] == "restore" && !e["ok"].asBool();
    EXPECT_EQ(restored, 5);

    // The scenario's values, decoded by record field name.
    ASSERT_EQ(first["units"].size(), 5u);
    const Json::Value& ac = Unit(first, 11, "m520s-ac");
    EXPECT_TRUE(ac["fresh"].asBool());
    ASSERT_EQ(ac["values"]["channels"].size(), 3u);
    EXPECT_EQ(ac["values"]["channels"][1]["a"].asDouble(), 231.5);
    EXPECT_EQ(Unit(first, 22, "m520s-dc")["values"]["v"].asDouble(), 54.25);
    const Json::Value& rc = Unit(first, 1, "m520s-rc")["values"];
    ASSERT_EQ(rc["modules"].size(), 8u);
    EXPECT_EQ(rc["modules"][7]["module_value"].asDouble(), 21.75);
    EXPECT_EQ(rc["ac_param"].size(), 5u);

    // Raised in the third cycle, cleared in the fifth: one event each.
    EXPECT_EQ(Alarms(seen), (std::multiset<std::string>{"raise 11 AC_0 交流屏1输入线/相电压AB/A after 2",
                                                        "raise 22 DC_0 输出电压过低告警 after 2",
                                                        "clear 11 AC_0 交流屏1输入线/相电压AB/A after 4",
                                                        "clear 22 DC_0 输出电压过低告警 after 4"}));

    // The tables: five history rows a cycle, the book's events, nothing active.
    EXPECT_EQ(Count(db, "SELECT count(*) FROM history"), 30);
    EXPECT_EQ(Count(db, "SELECT count(*) FROM history WHERE device=22 AND device_type='m520s-dc' AND type=5090"), 6);
    EXPECT_EQ(Count(db, "SELECT count(*) FROM cache"), 5);
    EXPECT_EQ(Count(db, "SELECT count(*) FROM alarm_event"), 4);
    EXPECT_EQ(Count(db, "SELECT count(*) FROM alarm_event WHERE device=22 AND key='DC_0' AND action='raise' AND "
                        "name='输出电压过低告警' AND level=3 AND code='06008'"),
              1);
    EXPECT_EQ(Count(db, "SELECT count(*) FROM active_alarm"), 0);
}

TEST(SimLine, SilenceRestartAndReplay) {
    TempDir dir;
    // Module 3 faulty throughout; the line silent for 3 s from cycle 3 on.
    WriteFile(dir / "scenario.json", R"({"timeline": [
        {"at_cycle": 1, "set": {"rectifier.modules[2].fault_state": 1}},
        {"at_cycle": 3, "fault": "silence", "for_s": 3}]})");
    const std::string db = dir / "site.db";
    const std::string capture = dir / "line.capture";
    {
        Sim sim({"--scenario", dir / "scenario.json"});
        const std::string config = WriteConfig(dir / "site.json", sim.pty, db);
        MonitorProcess mon(M520S_MONITOR_PATH, Args(config, {"--capture", capture}));
        std::vector<Json::Value> seen;
        ASSERT_FALSE(mon.WaitFor(CycleN(4), 40000, &seen).isNull()) << mon.Stderr();
        mon.Signal(SIGTERM);
        EXPECT_EQ(mon.Wait(), 0) << mon.Stderr();
        for (auto& e : mon.Rest()) seen.push_back(e);

        std::vector<std::string> links;
        Json::Value down;
        for (const auto& e : seen)
            if (e["event"] == "link") {
                links.push_back(e["state"].asString());
                if (e["state"] == "down") down = e["counters"];
            }
        EXPECT_EQ(links, (std::vector<std::string>{"up", "down", "up"}));
        // The silence shows by reason, beside the totals.
        EXPECT_EQ(down.size(), PMBusProtocol::Counters{}.items().size());
        EXPECT_GE(down["timeouts"].asUInt64(), 2u);  // one try and one retry
        EXPECT_EQ(down["give_ups"].asUInt64(), 1u);
        EXPECT_GT(down["answers"].asUInt64(), 0u);
        const auto alarms = Alarms(seen);
        EXPECT_EQ(alarms.count("raise 1 RC_0 模块3整流模块故障告警 after 0"), 1u);
        EXPECT_EQ(alarms.count("raise 1 link_lost  after 2"), 1u);
        EXPECT_EQ(alarms.count("clear 1 link_lost  after 2"), 1u);
        EXPECT_EQ(alarms.size(), 3u);
    }
    const int64_t first_run = Count(db, "SELECT count(*) FROM history");
    EXPECT_EQ(first_run % 5, 0);
    EXPECT_EQ(Count(db, "SELECT count(*) FROM active_alarm WHERE key='RC_0'"), 1);

    // Restart on the same database: every child restored, the fault still
    // there raises nothing again; one that went meanwhile is cleared.
    {
        WriteFile(dir / "later.json", R"({"timeline": [{"at_cycle": 2, "set": {"rectifier.modules[2].fault_state": 0}},
                                                       {"at_cycle": 1, "set": {"rectifier.modules[2].fault_state": 1}}]})");
        Sim sim({"--scenario", dir / "later.json"});
        const std::string config = WriteConfig(dir / "site2.json", sim.pty, db);
        MonitorProcess mon(M520S_MONITOR_PATH, Args(config, {"--cycles", "2"}));
        std::vector<Json::Value> seen;
        ASSERT_FALSE(mon.WaitFor(CycleN(2), 30000, &seen).isNull()) << mon.Stderr();
        EXPECT_EQ(mon.Wait(), 0);
        int restored = 0;
        for (const auto& e : seen) restored += e["event"] == "restore" && e["ok"].asBool();
        EXPECT_EQ(restored, 5);
        EXPECT_EQ(Alarms(seen), (std::multiset<std::string>{"clear 1 RC_0 模块3整流模块故障告警 after 1"}));
    }
    EXPECT_EQ(Count(db, "SELECT count(*) FROM history"), first_run + 10);

    // The capture replays: the simulator answers the monitor from it.
    ASSERT_GT(std::filesystem::file_size(capture), 0u);
    {
        Sim sim({"--replay", capture});
        const std::string config = WriteConfig(dir / "site3.json", sim.pty, dir / "replay.db");
        MonitorProcess mon(M520S_MONITOR_PATH, Args(config, {"--cycles", "2"}));
        const Json::Value c = mon.WaitFor(CycleN(2), 30000);
        ASSERT_FALSE(c.isNull()) << mon.Stderr();
        EXPECT_EQ(Unit(c, 1, "m520s-rc")["values"]["modules"][2]["fault_state"].asInt(), 1);
        EXPECT_EQ(mon.Wait(), 0);
    }
}

TEST(SimLine, KillNineLosesNoReportedCycleAndSecondsWithoutACycleExitFour) {
    TempDir dir;
    Sim sim({});
    const std::string db = dir / "site.db";
    const std::string config = WriteConfig(dir / "site.json", sim.pty, db);
    {
        MonitorProcess mon(M520S_MONITOR_PATH, Args(config, {}));
        uint64_t reported = 0;
        ASSERT_FALSE(mon.WaitFor([&](const Json::Value& e) {
                            if (IsCycle(e)) reported = e["n"].asUInt();
                            return reported == 2;
                        })
                         .isNull())
            << mon.Stderr();
        // Somewhere in the third cycle's conversation or its commit.
        usleep(2100 * 1000);
        mon.Signal(SIGKILL);
        EXPECT_EQ(mon.Wait(), 128 + SIGKILL);
        for (const auto& e : mon.Rest())
            if (IsCycle(e)) reported = e["n"].asUInt();
        const int64_t history = Count(db, "SELECT count(*) FROM history");
        EXPECT_GE(history, static_cast<int64_t>(5 * reported));
        EXPECT_EQ(history % 5, 0) << "a cycle is stored whole or not at all";
    }
    // A line nobody answers: no cycle within the time, exit 4.
    const std::string silent = dir / "silent.json";
    WriteFile(dir / "quiet.json", R"({"faults": {"silence": 1}})");
    Sim quiet({"--scenario", dir / "quiet.json"});
    MonitorProcess mon(M520S_MONITOR_PATH, Args(WriteConfig(silent, quiet.pty, dir / "quiet.db"), {"--seconds", "2"}));
    EXPECT_EQ(mon.Wait(), 4) << mon.Stderr();
}

TEST(SimLine, DemoStartsTheSimulatorItself) {
    TempDir dir;
    // The demo's database goes to the working directory.
    const auto cwd = std::filesystem::current_path();
    std::filesystem::current_path(dir / "");
    setenv("M520S_SIM", M520S_SIM_PATH, 1);
    MonitorProcess mon(M520S_MONITOR_PATH, {});
    std::filesystem::current_path(cwd);
    const Json::Value c = mon.WaitFor(CycleN(1), 20000);
    ASSERT_FALSE(c.isNull()) << mon.Stderr();
    EXPECT_EQ(c["units"].size(), 5u);
    mon.Signal(SIGINT);
    EXPECT_EQ(mon.Wait(), 0) << mon.Stderr();
    EXPECT_GE(Count(dir / "m520s-demo.db", "SELECT count(*) FROM history"), 5);

    // The other options apply to the demo as well.
    MonitorProcess counted(M520S_MONITOR_PATH, {"--json", "--cycles", "2", "--db", dir / "other.db"});
    EXPECT_EQ(counted.Wait(), 0) << counted.Stderr();
    EXPECT_EQ(Count(dir / "other.db", "SELECT count(*) FROM history"), 10);

    // The terminal going away stops it as cleanly as Ctrl-C.
    MonitorProcess hung_up(M520S_MONITOR_PATH, {"--json", "--db", dir / "hup.db"});
    ASSERT_FALSE(hung_up.WaitFor(CycleN(1), 20000).isNull()) << hung_up.Stderr();
    hung_up.Signal(SIGHUP);
    EXPECT_EQ(hung_up.Wait(), 0) << hung_up.Stderr();
}

}  // namespace
}  // namespace monitor_test
