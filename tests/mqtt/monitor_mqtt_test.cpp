// m520s-monitor against m520s-sim with a real broker and a real subscriber:
// retained states with the simulator's values, an alarm raised and cleared,
// discovery, "offline" on SIGTERM and as the will after kill -9, and a broker
// away for a while without polling or history waiting for it.

#include <gtest/gtest.h>

#include "monitor/config.h"
#include "monitor/sinks/mqtt_discovery.h"
#include "tests/monitor/e2e_support.h"
#include "tests/monitor/monitor_process.h"
#include "tests/monitor/test_support.h"
#include "tests/mqtt/broker.h"

namespace {

using namespace mqtt_test;
using monitor_test::MonitorProcess;
using monitor_test::Sim;

const std::string kHistory = "SELECT COUNT(*) FROM history";

TEST(MonitorMqtt, SimulatorThroughBrokerToSubscriber) {
    Broker broker;
    if (!broker.Available()) GTEST_SKIP() << "no mosquitto broker at " << broker.binary << " (install mosquitto)";
    monitor_test::TempDir dir;
    monitor_test::WriteFile(dir / "alarm.json", R"({"timeline": [
        {"at_cycle": 2, "set": {"dc[1].v": 47.25, "dc[1].v_state": 1}},
        {"at_cycle": 4, "set": {"dc[1].v": 53.5, "dc[1].v_state": 0}}]})");
    Sim sim({"--scenario", dir / "alarm.json"});
    const std::string pty = sim.pty;
    ASSERT_FALSE(pty.empty());
    Json::Value cfg = Parse(monitor_test::ReadFile(monitor_test::WriteConfig(dir / "site.json", pty, dir / "site.db")));
    cfg["mqtt"] = Parse(R"({"host": "127.0.0.1", "keepalive_s": 5})");
    cfg["mqtt"]["port"] = broker.port;
    // Each cycle its own commit: the history rows are counted cycle by cycle.
    cfg["history"]["commit_s"] = 0;
    monitor_test::WriteFile(dir / "site.json", Json::writeString(Json::StreamWriterBuilder(), cfg));
    ASSERT_TRUE(broker.Start());
    // No "site" in the config: the host name goes into the topics and the client id.
    const std::string prefix = "m520s/" + monitor::DefaultSite() + "/1";
    const std::string node = "homeassistant/device/" + monitor::HaId("m520s_" + monitor::DefaultSite() + "_1") + "/";
    Subscriber sub(broker.port, {prefix + "/#", "homeassistant/#"});
    ASSERT_TRUE(sub.WaitSubscribed());

    std::vector<Json::Value> seen;
    auto mon = std::make_unique<MonitorProcess>(M520S_MONITOR_PATH, std::vector<std::string>{"--config", dir / "site.json", "--json"});
    auto cycle = [&](int n) {
        return mon->WaitFor([&](const Json::Value& e) { return e["event"] == "cycle" && e["n"].asInt() >= n; }, 30000, &seen);
    };
    const std::string dc = prefix + "/m520s-dc/22/state";
    Json::Value low = cycle(3);
    ASSERT_FALSE(low.isNull()) << mon->Stderr();
    ASSERT_TRUE(sub.WaitFor([&](const Log& l) {
        return std::any_of(l.begin(), l.end(), [&](auto& r) { return r.topic == dc && Parse(r.payload)["values"]["v"] == 47.25; });
    }));
    Json::Value last = cycle(5);
    ASSERT_FALSE(last.isNull());
    // Every unit's retained state is its object of a cycle line; the alarm came and went.
    for (const auto& unit : last["units"]) {
        const std::string topic = prefix + "/" + unit["device_type"].asString() + "/" + unit["device"].asString() + "/state";
        EXPECT_TRUE(sub.WaitFor([&](const Log& l) {
            return std::any_of(l.begin(), l.end(), [&](auto& r) { return r.topic == topic && Parse(r.payload) == unit; });
        })) << topic;
    }
    std::vector<std::string> actions;
    for (const auto& r : sub.Messages())
        if (r.topic == prefix + "/alarm" && Parse(r.payload)["key"] == "DC_0")
            actions.push_back(Parse(r.payload)["action"].asString() + " " + Parse(r.payload)["device"].asString());
    EXPECT_EQ(actions, (std::vector<std::string>{"raise 22", "clear 22"}));
    Json::Value d = Parse(sub.Last(node + "m520s-dc_22/config"));
    EXPECT_EQ(d["dev"]["mdl"].asString().substr(0, 5), "M520S");
    EXPECT_EQ(d["cmps"]["v"]["unit_of_meas"], "V");
    // Sensors for the list entries the site fills (p_count 2), none for the room beyond.
    EXPECT_TRUE(d["cmps"].isMember("user_p_1"));
    EXPECT_FALSE(d["cmps"].isMember("user_p_2"));
    // The alarm's problem sensor went on and off with the time line.
    EXPECT_EQ(d["cmps"]["alarm_DC_0"]["stat_t"], prefix + "/m520s-dc/22/alarm/DC_0");
    std::vector<std::string> states;
    for (const auto& r : sub.Messages())
        if (r.topic == prefix + "/m520s-dc/22/alarm/DC_0") {
            const Json::Value a = Parse(r.payload);
            states.push_back(a["state"].asString());
            if (a["state"] == "ON") {
                EXPECT_TRUE(a["attributes"]["level"] == 3 && !a["attributes"]["since"].asString().empty()) << r.payload;
            }
        }
    EXPECT_EQ(states, (std::vector<std::string>{"OFF", "ON", "OFF"}));
    EXPECT_EQ(sub.Last(prefix + "/status"), "online");

    // Broker away: cycles and history rows go on; back, the retained state is current.
    broker.Stop();
    const int64_t rows = monitor_test::Count(dir / "site.db", kHistory);
    Json::Value during = cycle(last["n"].asInt() + 3);
    ASSERT_FALSE(during.isNull());
    EXPECT_GT(monitor_test::Count(dir / "site.db", kHistory), rows);
    ASSERT_TRUE(broker.Start());
    Json::Value now = cycle(during["n"].asInt() + 3);
    ASSERT_FALSE(now.isNull());
    Subscriber after(broker.port, {dc});
    ASSERT_TRUE(after.WaitFor([&](const Log& l) { return !l.empty(); }));
    const Received retained = after.Messages().front();
    EXPECT_TRUE(retained.retained);
    // The retained state is that of the newest cycle, or of the one before
    // when the newest is a few milliseconds from reaching the broker.
    auto matches = [&] {
        return std::any_of(seen.begin(), seen.end(), [&](const Json::Value& e) {
            return e["event"] == "cycle" && e["n"].asInt() >= now["n"].asInt() - 1 && Parse(retained.payload) == monitor_test::Unit(e, 22, "m520s-dc");
        });
    };
    for (int i = 1; i <= 3 && !matches(); ++i) cycle(now["n"].asInt() + i);
    std::string cycles;
    for (const auto& e : seen)
        if (e["event"] == "cycle") cycles += " " + e["n"].asString() + ":" + monitor_test::Unit(e, 22, "m520s-dc")["values"]["time_stamp"].asString();
    EXPECT_TRUE(matches()) << Parse(retained.payload)["values"]["time_stamp"] << " not among" << cycles << " from " << now["n"];

    // SIGTERM: a clean stop says "offline".
    mon->Signal(SIGTERM);
    EXPECT_EQ(mon->Wait(), 0);
    Subscriber status(broker.port, {prefix + "/status"});
    ASSERT_TRUE(status.WaitFor([&](const Log& l) { return !l.empty(); }));
    EXPECT_EQ(status.Last(prefix + "/status"), "offline");

    // kill -9: the broker publishes the will.
    mon = std::make_unique<MonitorProcess>(M520S_MONITOR_PATH, std::vector<std::string>{"--config", dir / "site.json", "--json"});
    ASSERT_TRUE(status.WaitFor([&](const Log& l) { return l.back().payload == "online"; }, 10000));
    mon->Signal(SIGKILL);
    mon->Wait();
    ASSERT_TRUE(status.WaitFor([&](const Log& l) { return l.back().payload == "offline"; }));
}

}  // namespace
