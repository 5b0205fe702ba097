// MqttPublisher against a real mosquitto broker on a loopback port of its
// own, read back with a real subscriber.

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <regex>
#include <set>

#include "monitor/mqtt.h"
#include "tests/mqtt/broker.h"

namespace {

using mqtt_test::Broker;
using mqtt_test::Received;
using mqtt_test::Subscriber;
using Clock = std::chrono::steady_clock;

Json::Value Parse(const std::string& text) {
    Json::Value v;
    Json::CharReaderBuilder b;
    std::string errs;
    std::unique_ptr<Json::CharReader> r(b.newCharReader());
    if (!r->parse(text.data(), text.data() + text.size(), &v, &errs)) ADD_FAILURE() << "not JSON: " << text;
    return v;
}

// A "cycle" event shaped like the monitor's: an AC panel with channels, a DC
// panel and the rectifier group with modules; `k` moves every value.
Json::Value Cycle(int n, double k, int modules = 2) {
    Json::Value ev;
    ev["event"] = "cycle";
    ev["time"] = "2026-12-08T16:00:00";
    ev["n"] = n;
    ev["duration_ms"] = 420;
    Json::Value ac;
    ac["device"] = 5;
    ac["device_type"] = "m520s-ac";
    ac["fresh"] = true;
    ac["values"]["data_id"] = 5;
    ac["values"]["ia"] = 10.5 + k;
    ac["values"]["ib"] = 11.5 + k;
    ac["values"]["ic"] = 12.5 + k;
    ac["values"]["ia_alert"] = 0;
    ac["values"]["time_stamp"] = "2026-12-08T16:00:00";
    for (int c = 0; c < 3; ++c) {
        Json::Value ch;
        ch["a"] = 220.0 + c + k;
        ch["b"] = 221.0 + c + k;
        ch["c"] = 222.0 + c + k;
        ch["f"] = 50.0 + k / 100;
        ch["a_state"] = c;
        ac["values"]["channels"].append(ch);
    }
    Json::Value dc;
    dc["device"] = 7;
    dc["device_type"] = "m520s-dc";
    dc["fresh"] = true;
    dc["values"]["v"] = 53.5 + k;
    dc["values"]["i"] = 120.0 + k;
    dc["values"]["dc_m_value"].append(1.0 + k);
    dc["values"]["dc_m_value"].append(2.0 + k);
    Json::Value rc;
    rc["device"] = 1;
    rc["device_type"] = "m520s-rc";
    rc["fresh"] = false;
    rc["values"]["group_value"] = 53.4 + k;
    for (int m = 0; m < modules; ++m) {
        Json::Value mod;
        mod["module_value"] = 15.0 + m + k;
        mod["fault_state"] = 0;
        for (int p = 0; p < 3; ++p) mod["p41_41_value"].append(p + k);
        rc["values"]["modules"].append(mod);
    }
    ev["units"].append(ac);
    ev["units"].append(dc);
    ev["units"].append(rc);
    return ev;
}

Json::Value Alarm(const std::string& action, int seq) {
    Json::Value a;
    a["event"] = "alarm";
    a["time"] = "2026-12-08T16:00:01";
    a["action"] = action;
    a["device"] = 7;
    a["key"] = "DC_0";
    a["code"] = "01003";
    a["name"] = "直流电压过低";
    a["detail"] = "seq " + std::to_string(seq);
    a["level"] = 2;
    a["state"] = action == "raise" ? 1 : 0;
    a["state_text"] = "";
    return a;
}

monitor::MqttConfig Config(int port, const std::string& prefix = "m520s/1") {
    monitor::MqttConfig c;
    c.host = "127.0.0.1";
    c.port = port;
    c.client_id = "m520s-test-" + std::to_string(port);
    c.prefix = prefix;
    c.keepalive_s = 5;
    return c;
}

monitor::MqttPublisher::Options Fast(size_t max_queue = 5000) {
    monitor::MqttPublisher::Options o;
    o.max_queue = max_queue;
    o.reconnect_min_s = 1;
    o.reconnect_max_s = 1;
    return o;
}

// Resolves a discovery value_template ({{ value_json['values'][...] }})
// against a state payload, the way Home Assistant would.
Json::Value Resolve(const std::string& tmpl, const Json::Value& state) {
    static const std::regex whole(R"(^\{\{ value_json((?:\['[^']*'\]|\[\d+\])+) \}\}$)");
    static const std::regex step(R"(\['([^']*)'\]|\[(\d+)\])");
    std::smatch m;
    if (!std::regex_match(tmpl, m, whole)) return Json::Value("bad template: " + tmpl);
    Json::Value v = state;
    std::string path = m[1];
    for (std::sregex_iterator it(path.begin(), path.end(), step), end; it != end; ++it) {
        if ((*it)[1].matched) {
            if (!v.isObject()) return Json::Value();
            v = v[(*it)[1].str()];
        } else {
            if (!v.isArray()) return Json::Value();
            v = v[std::stoi((*it)[2].str())];
        }
    }
    return v;
}

size_t CountTopic(const std::vector<Received>& ms, const std::string& topic) {
    size_t n = 0;
    for (const auto& m : ms) n += m.topic == topic;
    return n;
}

bool HasPayload(const std::vector<Received>& ms, const std::string& topic, const std::string& payload) {
    for (const auto& m : ms)
        if (m.topic == topic && m.payload == payload) return true;
    return false;
}

class MqttPublisherTest : public ::testing::Test {
protected:
    void SetUp() override {
        broker = std::make_unique<Broker>();
        if (!broker->Available())
            GTEST_SKIP() << "mosquitto broker not installed (apt-get install mosquitto); set $MOSQUITTO to its path";
    }
    std::unique_ptr<Broker> broker;
};

TEST_F(MqttPublisherTest, RetainedStatesDiscoveryAndAlarmsReachALateSubscriber) {
    ASSERT_TRUE(broker->Start());
    Subscriber early(broker->port, {"m520s/1/alarm"});
    ASSERT_TRUE(early.WaitSubscribed());

    auto cfg = Config(broker->port);
    monitor::MqttPublisher pub(cfg, Fast());
    const Json::Value cycle = Cycle(1, 0.25);
    pub.OnEvent(cycle);  // before the model is known
    pub.OnModel("M520S");
    Json::Value active(Json::arrayValue);
    Json::Value a = Alarm("raise", 1);
    a.removeMember("action");
    a["since"] = "2026-12-08T16:00:01";
    active.append(a);
    pub.OnActiveAlarms(active);
    pub.OnEvent(Alarm("raise", 1));
    pub.OnEvent(Json::Value("not an object"));  // ignored, no crash
    ASSERT_TRUE(early.WaitFor([](auto& ms) { return ms.size() == 1; }));

    // Wait until the broker has acknowledged everything queued so far.
    auto deadline = Clock::now() + std::chrono::seconds(5);
    while ((pub.counters().queued > 0 || !pub.counters().connected) && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));

    Subscriber late(broker->port, {"m520s/1/#", "homeassistant/#"});
    ASSERT_TRUE(late.WaitSubscribed(2));
    const std::string ac_topic = "m520s/1/m520s-ac/5/state";
    const std::string rc_topic = "m520s/1/m520s-rc/1/state";
    ASSERT_TRUE(late.WaitFor([&](auto& ms) {
        return CountTopic(ms, "m520s/1/status") && CountTopic(ms, ac_topic) && CountTopic(ms, rc_topic) &&
               CountTopic(ms, "m520s/1/alarms");
    }));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // let every retained config arrive
    auto ms = late.Messages();

    EXPECT_EQ(late.Last("m520s/1/status"), "online");
    EXPECT_EQ(Parse(late.Last(ac_topic)), cycle["units"][0]);
    EXPECT_EQ(Parse(late.Last("m520s/1/m520s-dc/7/state")), cycle["units"][1]);
    EXPECT_EQ(Parse(late.Last(rc_topic)), cycle["units"][2]);
    EXPECT_EQ(Parse(late.Last("m520s/1/alarms")), active);
    EXPECT_EQ(CountTopic(ms, "m520s/1/alarm"), 0u) << "alarm events must not be retained";
    EXPECT_EQ(Parse(early.Last("m520s/1/alarm")), Alarm("raise", 1));
    for (const auto& m : ms) EXPECT_TRUE(m.retained) << m.topic;

    // Every discovery config points at a number of its unit's retained state,
    // carries the model that arrived after the first cycle, and the field
    // names decide unit and class.
    std::map<std::string, Json::Value> by_object;
    for (const auto& m : ms) {
        if (m.topic.rfind("homeassistant/sensor/", 0) != 0) continue;
        Json::Value c = Parse(m.payload);
        EXPECT_EQ(m.topic, "homeassistant/sensor/" + cfg.client_id + "/" + c["object_id"].asString() + "/config");
        EXPECT_EQ(c["availability_topic"], "m520s/1/status");
        EXPECT_EQ(c["device"]["model"], "M520S") << m.topic;
        EXPECT_EQ(c["device"]["identifiers"][0], cfg.client_id);
        EXPECT_EQ(c["unique_id"], cfg.client_id + "_" + c["object_id"].asString());
        Json::Value state = Parse(late.Last(c["state_topic"].asString()));
        Json::Value v = Resolve(c["value_template"].asString(), state);
        EXPECT_TRUE(v.isNumeric()) << c["value_template"] << " -> " << v;
        by_object[c["object_id"].asString()] = c;
    }
    // AC: 4 panel values + 3 channels of 5; DC: 2 + 2; rectifier: 1 + 2 modules of 1 + 1 + 3.
    EXPECT_EQ(by_object.size(), 4u + 15u + 4u + 11u);
    EXPECT_EQ(by_object.count("m520s-ac_5_data_id"), 0u);
    auto expect_measure = [&](const std::string& object, const char* unit, const char* cls, double value,
                              const std::string& topic) {
        ASSERT_TRUE(by_object.count(object)) << object;
        const Json::Value& c = by_object[object];
        EXPECT_EQ(c["unit_of_measurement"].asString(), unit) << object;
        EXPECT_EQ(c["device_class"].asString(), cls) << object;
        EXPECT_DOUBLE_EQ(Resolve(c["value_template"].asString(), Parse(late.Last(topic))).asDouble(), value);
    };
    expect_measure("m520s-ac_5_channels_2_b", "V", "voltage", 223.25, ac_topic);
    expect_measure("m520s-ac_5_channels_0_f", "Hz", "frequency", 50.0025, ac_topic);
    expect_measure("m520s-ac_5_ic", "A", "current", 12.75, ac_topic);
    expect_measure("m520s-dc_7_v", "V", "voltage", 53.75, "m520s/1/m520s-dc/7/state");
    expect_measure("m520s-dc_7_i", "A", "current", 120.25, "m520s/1/m520s-dc/7/state");
    ASSERT_TRUE(by_object.count("m520s-rc_1_modules_1_p41_41_value_2"));
    EXPECT_FALSE(by_object["m520s-rc_1_modules_1_p41_41_value_2"].isMember("device_class"));
    EXPECT_FALSE(by_object["m520s-ac_5_channels_1_a_state"].isMember("unit_of_measurement"));

    // A module that appears later gets its configs before its state.
    Subscriber watch(broker->port, {"homeassistant/#", rc_topic});
    ASSERT_TRUE(watch.WaitSubscribed(2));
    ASSERT_TRUE(watch.WaitFor([&](auto& got) { return CountTopic(got, rc_topic) == 1; }));
    pub.OnEvent(Cycle(2, 1.0, 3));
    ASSERT_TRUE(watch.WaitFor([&](auto& got) { return CountTopic(got, rc_topic) == 2; }));
    auto got = watch.Messages();
    size_t fresh_configs = 0;
    for (const auto& m : got)
        if (!m.retained && m.topic.find("/m520s-rc_1_modules_2_") != std::string::npos) ++fresh_configs;
    EXPECT_EQ(fresh_configs, 5u);
    EXPECT_EQ(pub.counters().dropped, 0u);
}

TEST_F(MqttPublisherTest, BrokerDownAtStartThenRestartedWhileEventsKeepComing) {
    auto cfg = Config(broker->port);
    monitor::MqttPublisher pub(cfg, Fast());

    // No broker: the caller is never held up.
    auto t0 = Clock::now();
    for (int i = 0; i < 200; ++i) pub.OnEvent(Cycle(i, i));
    EXPECT_LT(Clock::now() - t0, std::chrono::milliseconds(500));
    EXPECT_FALSE(pub.counters().connected);

    ASSERT_TRUE(broker->Start());
    Subscriber sub(broker->port, {"m520s/1/#"});
    ASSERT_TRUE(sub.WaitSubscribed());
    ASSERT_TRUE(sub.WaitFor([&](auto& ms) { return HasPayload(ms, "m520s/1/status", "online"); }, 8000));
    const std::string dc_topic = "m520s/1/m520s-dc/7/state";
    ASSERT_TRUE(sub.WaitFor([&](auto& ms) {
        for (auto it = ms.rbegin(); it != ms.rend(); ++it)
            if (it->topic == dc_topic) return Parse(it->payload)["values"]["v"].asDouble() == 53.5 + 199;
        return false;
    }, 8000));
    const auto reconnects = pub.counters().reconnects;

    // Broker away for a while; cycles and alarms go on.
    broker->Stop();
    auto t1 = Clock::now();
    for (int i = 0; i < 30; ++i) {
        pub.OnEvent(Cycle(1000 + i, 1000 + i));
        if (i % 10 == 0) pub.OnEvent(Alarm(i % 20 ? "clear" : "raise", i));
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_LT(Clock::now() - t1, std::chrono::milliseconds(30 * 50 + 500));
    ASSERT_TRUE(broker->Start());  // same port, nothing retained any more

    // The old subscriber comes back by itself and sees every alarm of the outage.
    ASSERT_TRUE(sub.WaitFor([&](auto& ms) {
        std::set<std::string> seen;
        for (const auto& m : ms)
            if (m.topic == "m520s/1/alarm") seen.insert(Parse(m.payload)["detail"].asString());
        return seen.count("seq 0") && seen.count("seq 10") && seen.count("seq 20");
    }, 10000));

    // A new subscriber sees the retained topics of the new broker: status, the
    // newest state of every unit and the discovery configs.
    auto deadline = Clock::now() + std::chrono::seconds(5);
    while (pub.counters().queued > 0 && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    Subscriber fresh(broker->port, {"m520s/1/#", "homeassistant/#"});
    ASSERT_TRUE(fresh.WaitSubscribed(2));
    ASSERT_TRUE(fresh.WaitFor([&](auto& ms) {
        return CountTopic(ms, "m520s/1/status") && CountTopic(ms, dc_topic) &&
               CountTopic(ms, "homeassistant/sensor/" + cfg.client_id + "/m520s-dc_7_v/config");
    }));
    EXPECT_EQ(fresh.Last("m520s/1/status"), "online");
    EXPECT_EQ(Parse(fresh.Last(dc_topic)), Cycle(1029, 1029)["units"][1]);
    EXPECT_EQ(Parse(fresh.Last("m520s/1/m520s-ac/5/state")), Cycle(1029, 1029)["units"][0]);
    auto c = pub.counters();
    EXPECT_GE(c.reconnects, reconnects + 1);
    EXPECT_TRUE(c.connected);
    EXPECT_EQ(c.dropped, 0u);
    EXPECT_GT(c.sent, 230u * 3);
}

TEST_F(MqttPublisherTest, BoundedQueueGivesUpOldStatesBeforeAlarms) {
    auto cfg = Config(broker->port);
    monitor::MqttPublisher pub(cfg, Fast(12));
    for (int i = 0; i < 3; ++i) pub.OnEvent(Alarm("raise", i));
    for (int i = 0; i < 50; ++i) pub.OnEvent(Cycle(i, i));
    auto c = pub.counters();
    EXPECT_EQ(c.queued, 12u);
    // 3 alarms + 50 cycles x 3 states + discovery (34 configs) over a bound of 12.
    EXPECT_EQ(c.dropped, 3u + 150u + 34u - 12u);

    ASSERT_TRUE(broker->Start());
    Subscriber sub(broker->port, {"m520s/1/#"});
    ASSERT_TRUE(sub.WaitSubscribed());
    ASSERT_TRUE(sub.WaitFor([&](auto& ms) { return CountTopic(ms, "m520s/1/alarm") == 3; }, 8000));
    ASSERT_TRUE(sub.WaitFor([&](auto& ms) { return CountTopic(ms, "m520s/1/m520s-rc/1/state") > 0; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    auto ms = sub.Messages();
    std::vector<std::string> details;
    for (const auto& m : ms)
        if (m.topic == "m520s/1/alarm") details.push_back(Parse(m.payload)["detail"].asString());
    EXPECT_EQ(details, (std::vector<std::string>{"seq 0", "seq 1", "seq 2"}));
    EXPECT_EQ(Parse(sub.Last("m520s/1/m520s-rc/1/state")), Cycle(49, 49)["units"][2]);

    // A queue holding only alarm events keeps the newest of them.
    broker->Stop();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const auto dropped = pub.counters().dropped;
    for (int i = 100; i < 130; ++i) pub.OnEvent(Alarm("clear", i));
    EXPECT_EQ(pub.counters().queued, 12u);
    EXPECT_EQ(pub.counters().dropped, dropped + 18);
    ASSERT_TRUE(broker->Start());
    ASSERT_TRUE(sub.WaitFor([&](auto& got) { return CountTopic(got, "m520s/1/alarm") == 3 + 12; }, 8000));
    EXPECT_EQ(Parse(sub.Last("m520s/1/alarm"))["detail"], "seq 129");
}

TEST_F(MqttPublisherTest, OfflineOnStopAndAsTheWillAfterAKill) {
    ASSERT_TRUE(broker->Start());
    const std::string status = "m520s/9/status";

    // A publisher in a child process that is killed without warning.
    pid_t child = fork();
    if (child == 0) {
        {
            monitor::MqttPublisher pub(Config(broker->port, "m520s/9"), Fast());
            pub.OnEvent(Cycle(1, 0));
            pause();
        }
        _exit(0);
    }
    {
        Subscriber sub(broker->port, {status});
        ASSERT_TRUE(sub.WaitSubscribed());
        ASSERT_TRUE(sub.WaitFor([&](auto& ms) { return HasPayload(ms, status, "online"); }));
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
        ASSERT_TRUE(sub.WaitFor([&](auto& ms) { return ms.back().payload == "offline"; }));
    }
    Subscriber after(broker->port, {status});
    ASSERT_TRUE(after.WaitFor([&](auto& ms) { return !ms.empty(); }));
    EXPECT_EQ(after.Last(status), "offline");
    EXPECT_TRUE(after.Messages().back().retained);

    // A clean stop says "offline" itself, promptly, and ignores what comes later.
    auto cfg = Config(broker->port, "m520s/9");
    auto pub = std::make_unique<monitor::MqttPublisher>(cfg, Fast());
    ASSERT_TRUE(after.WaitFor([&](auto& ms) { return ms.back().payload == "online"; }));
    pub->OnEvent(Alarm("raise", 1));
    auto t0 = Clock::now();
    pub->OnStop();
    EXPECT_LT(Clock::now() - t0, std::chrono::milliseconds(1500));
    pub->OnEvent(Alarm("raise", 2));
    ASSERT_TRUE(after.WaitFor([&](auto& ms) { return ms.back().payload == "offline"; }));
    EXPECT_GE(pub->counters().sent, 3u);  // online, the alarm, offline
    pub.reset();

    // With the broker gone and the client in its reconnect back-off, stopping
    // still takes no longer than the stop time-out.
    auto slow = Fast();
    slow.reconnect_min_s = 30;
    slow.reconnect_max_s = 30;
    pub = std::make_unique<monitor::MqttPublisher>(cfg, slow);
    ASSERT_TRUE(after.WaitFor([&](auto& ms) { return ms.back().payload == "online"; }));
    broker->Stop();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    t0 = Clock::now();
    pub->OnStop();
    pub.reset();
    EXPECT_LT(Clock::now() - t0, std::chrono::milliseconds(2500));
}

}  // namespace
