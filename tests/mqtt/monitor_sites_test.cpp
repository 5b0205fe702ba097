// Two sites whose main device id is 1 on one broker, through the real
// monitor and simulators: nothing of theirs collides; a silence of one
// controller takes its link (and so its values' availability) down and
// back; a reconnection to a broker that kept the retained configs sends no
// discovery again.

#include <gtest/gtest.h>

#include "monitor/sinks/mqtt_discovery.h"
#include "tests/monitor/e2e_support.h"
#include "tests/monitor/monitor_process.h"
#include "tests/monitor/test_support.h"
#include "tests/mqtt/broker.h"

namespace {

using namespace mqtt_test;
using monitor_test::MonitorProcess;

struct Site {
    std::string name, prefix, node;
    std::unique_ptr<monitor_test::Sim> sim;
    std::unique_ptr<MonitorProcess> mon;
};

std::vector<std::string> Payloads(const Log& log, const std::string& topic) {
    std::vector<std::string> out;
    for (const auto& r : log)
        if (r.topic == topic) out.push_back(r.payload);
    return out;
}

size_t DiscoveryMessages(const Log& log, const std::string& node) {
    return std::count_if(log.begin(), log.end(), [&](const Received& r) {
        return r.topic.rfind("homeassistant/device/" + node + "/", 0) == 0;
    });
}

// Another client under a site's client id: the broker drops the monitor's
// connection, and the monitor connects again.
void TakeOver(int port, const std::string& client_id) {
    mosquitto* m = mosquitto_new(client_id.c_str(), true, nullptr);
    ASSERT_EQ(mosquitto_connect(m, "127.0.0.1", port, 10), MOSQ_ERR_SUCCESS);
    for (int i = 0; i < 5; ++i) mosquitto_loop(m, 50, 1);
    mosquitto_disconnect(m);
    mosquitto_destroy(m);
}

TEST(MonitorMqtt, TwoSitesSilenceAndAReconnectionWithoutDiscovery) {
    Broker broker;
    if (!broker.Available()) GTEST_SKIP() << "no mosquitto broker at " << broker.binary << " (install mosquitto)";
    ASSERT_TRUE(broker.Start());
    monitor_test::TempDir dir;
    Subscriber sub(broker.port, {"m520s/#", "homeassistant/#"});
    ASSERT_TRUE(sub.WaitSubscribed());
    monitor_test::WriteFile(dir / "silence.json", R"({"timeline": [{"at_cycle": 4, "fault": "silence", "for_s": 4}]})");
    std::vector<Site> sites(2);
    for (size_t i = 0; i < sites.size(); ++i) {
        Site& s = sites[i];
        s.name = i == 0 ? "north" : "south";
        s.prefix = "m520s/" + s.name + "/1";
        s.node = "m520s_" + s.name + "_1";
        s.sim = std::make_unique<monitor_test::Sim>(i == 0 ? std::vector<std::string>{"--scenario", dir / "silence.json"}
                                                           : std::vector<std::string>{});
        Json::Value cfg = Parse(monitor_test::ReadFile(
            monitor_test::WriteConfig(dir / (s.name + ".json"), s.sim->pty, dir / (s.name + ".db"))));
        cfg["site"] = s.name;
        // Each cycle its own commit, so its values go out cycle by cycle.
        cfg["history"]["commit_s"] = 0;
        cfg["mqtt"] = Parse(R"({"host": "127.0.0.1", "keepalive_s": 5})");
        cfg["mqtt"]["port"] = broker.port;
        monitor_test::WriteFile(dir / (s.name + ".json"), Json::writeString(Json::StreamWriterBuilder(), cfg));
        s.mon = std::make_unique<MonitorProcess>(M520S_MONITOR_PATH,
                                                 std::vector<std::string>{"--config", dir / (s.name + ".json"), "--json"});
    }
    Site& north = sites[0];
    Site& south = sites[1];

    // North's controller falls silent and comes back: its link says so.
    const std::string north_link = north.prefix + "/link";
    ASSERT_TRUE(sub.WaitFor(
        [&](const Log& l) { return Payloads(l, north_link) == std::vector<std::string>{"up", "down", "up"}; }, 60000))
        << north.mon->Stderr();
    // Both devices' configs are in; the values of each read that link.
    ASSERT_TRUE(sub.WaitFor([&](const Log& l) {
        return DiscoveryMessages(l, north.node) >= 6 && DiscoveryMessages(l, south.node) >= 6;
    }, 30000));
    Log log = sub.Messages();
    EXPECT_EQ(Payloads(log, south.prefix + "/link"), std::vector<std::string>{"up"});
    std::map<std::string, std::set<std::string>> ids;
    for (const auto& r : log) {
        if (r.topic.rfind("homeassistant/", 0) != 0 || r.payload.empty()) continue;
        const Json::Value d = Parse(r.payload);
        const Site& s = r.topic.find(north.node) != std::string::npos ? north : south;
        if (r.topic.find("/controller/") == std::string::npos) {
            EXPECT_EQ(d["avty"][1]["t"], s.prefix + "/link") << r.topic;
            EXPECT_EQ(d["avty"][1]["pl_not_avail"], "down");
            EXPECT_EQ(d["avty_mode"], "all");
        }
        for (const auto& object : d["cmps"].getMemberNames()) ids[s.name].insert(d["cmps"][object]["uniq_id"].asString());
    }
    // Nothing shared: unique ids, topics, and a connection each that no one took over.
    ASSERT_FALSE(ids["north"].empty());
    EXPECT_EQ(ids["north"].size(), ids["south"].size());
    for (const auto& id : ids["north"]) EXPECT_EQ(ids["south"].count(id), 0u) << id;
    for (const Site* s : {&north, &south}) EXPECT_EQ(Payloads(log, s->prefix + "/status"), std::vector<std::string>{"online"});
    EXPECT_EQ(Payloads(log, "m520s/1/status").size(), 0u);

    // A reconnection to a broker that kept everything: status again, no discovery.
    const size_t configs = DiscoveryMessages(log, north.node);
    TakeOver(broker.port, "m520s-north-1");
    ASSERT_TRUE(sub.WaitFor([&](const Log& l) {
        const auto status = Payloads(l, north.prefix + "/status");
        return status.size() >= 2 && status.back() == "online";
    }, 30000));
    // The read-back is done once the next cycle's state is out.
    const size_t states = Payloads(sub.Messages(), north.prefix + "/m520s-dc/22/state").size();
    ASSERT_TRUE(sub.WaitFor([&](const Log& l) { return Payloads(l, north.prefix + "/m520s-dc/22/state").size() > states + 2; }));
    EXPECT_EQ(DiscoveryMessages(sub.Messages(), north.node), configs);

    for (Site* s : {&north, &south}) {
        s->mon->Signal(SIGTERM);
        EXPECT_EQ(s->mon->Wait(), 0) << s->mon->Stderr();
    }
}

}  // namespace
