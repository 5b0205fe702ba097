// MqttPublisher against a real mosquitto, read back with a real subscriber.

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <regex>
#include <set>

#include <fmt/format.h>

#include "ac/tele_ac.h"
#include "dc/tele_dc.h"
#include "monitor/models/catalogue.h"
#include "monitor/models/m520s.h"
#include "monitor/sinks/mqtt.h"
#include "rc/tele_rc.h"
#include "tests/support/time_scale.h"
#include "tests/mqtt/broker.h"
#include "tests/mqtt/ha_check.h"
#include "tests/mqtt/publisher_support.h"

namespace {

using namespace mqtt_test;

TEST(MqttPublisher, ThroughABrokerDownAtStartAndRestarted) {
    Broker broker;
    REQUIRE_BROKER(broker);
    const auto cfg = Config(broker.port);
    monitor::MqttPublisher pub(cfg, Options(12));

    // Broker down: nothing holds the caller up, and the bound of 12 keeps the
    // three alarm events and the newest states.
    auto t0 = Clock::now();
    for (int i = 0; i < 3; ++i) pub.OnEvent(Alarm(i), kNoSite);
    for (int i = 0; i < 50; ++i) pub.OnEvent(Cycle(i), kNoSite);
    const std::vector<monitor::Alarm> active{AlarmOf(0)};
    pub.OnSite(Site("M520S", active));
    pub.Tick(Clock::now());
    // A call that waited on the network would wait a reconnect delay (1 s or
    // more) per event, 53 of them: far beyond this.
    EXPECT_LT(Clock::now() - t0, Scaled(std::chrono::seconds(3)));
    auto c = pub.counters();
    EXPECT_FALSE(c.connected);
    EXPECT_EQ(c.queued, 12u);
    // events, states, the alarm list, the alarm keys' states of the
    // controller and the units, the link: no discovery before the broker has
    // been read back.
    const size_t main_keys = AlarmKeys("m520s");
    const size_t unit_keys = AlarmKeys("m520s-ac") + AlarmKeys("m520s-dc") + AlarmKeys("m520s-rc");
    EXPECT_EQ(c.dropped, 3 + 50 * 3 + 1 + main_keys + unit_keys + 1 - 12u);

    AfterFailedAttempt(pub);
    ASSERT_TRUE(broker.Start());
    auto sub = std::make_unique<Subscriber>(broker.port, std::vector<std::string>{"m520s/1/#", "homeassistant/#"});
    ASSERT_TRUE(sub->WaitSubscribed());
    const std::string ac = "m520s/1/m520s-ac/5/state", rc = "m520s/1/m520s-rc/1/state";
    const std::string node = "homeassistant/device/m520s_site_1/";
    const std::string rc_config = node + "m520s-rc_1/config";
    // The controller and three units.
    ASSERT_TRUE(sub->WaitFor([&](const Log& l) { return Count(l, "m520s/1/alarms") && ConfigsAndStates(l, 4); }));
    Log log = sub->Messages();
    EXPECT_EQ(AlarmDetails(log), (std::vector<std::string>{"seq 0", "seq 1", "seq 2"}));
    EXPECT_EQ(sub->Last("m520s/1/status"), "online");
    const auto last = Cycle(49);
    for (const auto& u : last.As<monitor::CycleEvent>()->units)
        EXPECT_EQ(Parse(sub->Last(cfg.prefix + "/" + u.device_type + "/" + std::to_string(u.device) + "/state")),
                  Parse(*u.json));
    EXPECT_EQ(Parse(sub->Last("m520s/1/alarms")), Parse(monitor::ActiveAlarmsJson(active)));

    // Every component is one Home Assistant takes, and reads what its topic
    // holds; a device per unit under the controller, with the model.
    std::map<std::string, Json::Value> found;
    std::set<std::string> unique;
    size_t sensors = 0, alarm_sensors = 0;
    for (const auto& [topic, d] : DeviceConfigs(log)) {
        SCOPED_TRACE(topic);
        const bool controller = topic == node + "controller/config";
        EXPECT_EQ(d["o"]["name"], "m520s-monitor");
        EXPECT_EQ(d["dev"]["mdl"].asString().substr(0, 5), "M520S");
        EXPECT_EQ(d["dev"]["via_device"], controller ? Json::Value() : Json::Value("m520s_site_1"));
        if (!controller) {
            EXPECT_EQ(d["avty_mode"], "all");
            EXPECT_EQ(d["avty"][0]["t"], "m520s/1/status");
            EXPECT_EQ(d["avty"][1]["t"], "m520s/1/link");
        }
        for (const auto& object : d["cmps"].getMemberNames()) {
            const Json::Value& comp = d["cmps"][object];
            mqtt_test::CheckComponent(object, comp, d, [&](const std::string& t) { return StateOf(*sub, t); });
            EXPECT_TRUE(unique.insert(comp["uniq_id"].asString()).second) << comp["uniq_id"];
            EXPECT_EQ(comp["uniq_id"].asString().rfind("m520s_site_1_", 0), 0u);
            EXPECT_EQ(comp["def_ent_id"].asString(), comp["p"].asString() + "." + monitor::EntityObjectId(comp["uniq_id"].asString()));
            sensors += comp["p"] == "sensor";
            alarm_sensors += comp["dev_cla"] == "problem";
            found[d["dev"]["name"].asString() + ": " + comp["name"].asString()] = comp;
        }
    }
    EXPECT_EQ(sensors, Configs(Cycle(0)));
    EXPECT_EQ(alarm_sensors, main_keys + unit_keys);
    EXPECT_EQ(found["M520S site 1: controller link"]["dev_cla"], "connectivity");
    const auto state = [&](const Json::Value& comp, const char* topic) {
        return mqtt_test::Evaluate(comp["val_tpl"].asString(), StateOf(*sub, topic));
    };
    for (const auto& [entity, unit, cls, value] :
         {std::tuple{"AC panel 5: channel 3, input voltage AB/A", "V", "voltage", 271.0},
          {"AC panel 5: channel 1, input frequency", "Hz", "frequency", 99.0},
          {"AC panel 5: phase C output current", "A", "current", 59.5}, {"DC panel 7: output voltage", "V", "voltage", 102.5},
          {"DC panel 7: DC current", "A", "current", 169.0},
          {"Rectifiers 1: module 2, user-defined value 3", "", "", 3.0}}) {
        const Json::Value& d = found[entity];
        EXPECT_EQ(d.get("unit_of_meas", "").asString() + d.get("dev_cla", "").asString(), std::string(unit) + cls) << entity;
        EXPECT_EQ(state(d, entity[0] == 'A' ? ac.c_str() : entity[0] == 'D' ? "m520s/1/m520s-dc/7/state" : rc.c_str()).asDouble(),
                  value) << entity;
    }
    // A state with texts is an enum of them; 0 is normal.
    const Json::Value& enum_state = found["AC panel 5: channel 2, input voltage AB/A state"];
    EXPECT_EQ(enum_state["dev_cla"], "enum");
    EXPECT_EQ(state(enum_state, ac.c_str()), "normal");
    EXPECT_EQ(enum_state["ops"][3], "phase missing");
    // An alarm key is a problem sensor, off while the alarm is not active.
    const Json::Value& fault = found["Rectifiers 1: rectifier fault"];
    EXPECT_EQ(fault["stat_t"], "m520s/1/m520s-rc/1/alarm/RC_0");
    EXPECT_EQ(StateOf(*sub, "m520s/1/m520s-rc/1/alarm/RC_0")["state"], "OFF");

    // A module that appears gets its components before its state.
    const size_t states = Count(log, rc);
    const auto three = Cycle(50, 3);
    pub.OnEvent(three, kNoSite);
    ASSERT_TRUE(sub->WaitFor([&](const Log& l) { return Count(l, rc) > states; }));
    log = sub->Messages();
    size_t seen = 0;
    bool config_first = false;
    for (const auto& r : log) {
        if (r.topic == rc && ++seen > states) break;
        if (r.topic == rc_config) config_first = Parse(r.payload)["cmps"].isMember("modules_2_module_value");
    }
    EXPECT_TRUE(config_first);

    // Broker away for a while: cycles and alarms go on and nothing waits.
    broker.Stop();
    t0 = Clock::now();
    for (int i = 51; i < 80; ++i) {
        pub.OnEvent(Cycle(i, 3), kNoSite);
        if (i % 10 == 0) pub.OnEvent(Alarm(i), kNoSite);
        std::this_thread::sleep_for(ms(40));
    }
    // 32 calls: a reconnect delay waited in a few of them would exceed this.
    EXPECT_LT(Clock::now() - t0, ms(29 * 40) + Scaled(std::chrono::seconds(3)));
    AfterFailedAttempt(pub);
    ASSERT_TRUE(broker.Start());  // nothing retained any more
    sub = std::make_unique<Subscriber>(broker.port, std::vector<std::string>{"m520s/1/#", "homeassistant/#"});
    ASSERT_TRUE(sub->WaitSubscribed());
    // Ticked as the poll thread ticks it: if the read-back marker is slow, the
    // sync's time-out still brings discovery.
    bool back = false;
    for (int k = 0; k < 120 && !back; ++k) {
        pub.Tick(Clock::now());
        back = sub->WaitFor([&](const Log& l) {
            const auto configs = DeviceConfigs(l);
            return Count(l, "m520s/1/alarms") && configs.count(rc_config) &&
                   configs.at(rc_config)["cmps"].isMember("modules_2_module_value");
        }, 500);
    }
    ASSERT_TRUE(back);
    EXPECT_EQ(AlarmDetails(sub->Messages()), (std::vector<std::string>{"seq 60", "seq 70"}));
    EXPECT_EQ(sub->Last("m520s/1/status"), "online");
    // What was in flight when the broker went is sent again (QoS 1), after the newest values;
    // each of those topics then gets its newest value once more, so the last one is right.
    const Json::Value ac79 = Parse(*Cycle(79, 3).As<monitor::CycleEvent>()->units[0].json);
    const Json::Value rc79 = Parse(*Cycle(79, 3).As<monitor::CycleEvent>()->units[2].json);
    EXPECT_TRUE(sub->WaitFor([&](const Log& l) {
        const std::string a = LastIn(l, ac), r = LastIn(l, rc);
        return !a.empty() && !r.empty() && Parse(a) == ac79 && Parse(r) == rc79;
    }));
    EXPECT_EQ(Parse(sub->Last(ac)), ac79);
    EXPECT_EQ(Parse(sub->Last(rc)), rc79);
    c = pub.counters();
    EXPECT_TRUE(c.connected);
    EXPECT_EQ(c.reconnects, 1u);

    // A clean stop says "offline", promptly, and ignores what comes later.
    t0 = Clock::now();
    pub.Stop();
    EXPECT_LT(Clock::now() - t0, Scaled(ms(1000)));
    pub.OnEvent(Alarm(99), kNoSite);
    ASSERT_TRUE(sub->WaitFor([&](const Log& l) { return l.back().payload == "offline"; }));
    EXPECT_EQ(pub.counters().dropped, c.dropped);
    EXPECT_EQ(AlarmDetails(sub->Messages()).size(), 2u);
}

TEST(MqttPublisher, WillAfterAKillAndABoundedStopWithoutBroker) {
    Broker broker;
    REQUIRE_BROKER(broker);
    ASSERT_TRUE(broker.Start());
    const std::string status = "m520s/9/status";
    pid_t child = fork();
    if (child == 0) {
        monitor::MqttPublisher pub(Config(broker.port, "m520s/9"), Options(10));
        pause();
    }
    struct Reap {
        pid_t pid;
        ~Reap() { kill(pid, SIGKILL), waitpid(pid, nullptr, 0); }
    } reap{child};
    Subscriber sub(broker.port, {status});
    ASSERT_TRUE(sub.WaitFor([&](const Log& l) { return Count(l, status) && l.back().payload == "online"; }));
    kill(child, SIGKILL);
    ASSERT_TRUE(sub.WaitFor([&](const Log& l) { return l.back().payload == "offline"; }));
    Subscriber late(broker.port, {status});
    ASSERT_TRUE(late.WaitFor([&](const Log& l) { return !l.empty(); }));
    EXPECT_TRUE(late.Messages().back().retained && late.Messages().back().payload == "offline");

    // Broker gone and a 30 s back-off under way: stopping still takes little time.
    auto pub = std::make_unique<monitor::MqttPublisher>(Config(broker.port, "m520s/9"), Options(10, 30));
    ASSERT_TRUE(sub.WaitFor([&](const Log& l) { return l.back().payload == "online"; }));
    broker.Stop();
    std::this_thread::sleep_for(ms(200));
    auto t0 = Clock::now();
    pub->Stop();
    pub.reset();
    EXPECT_LT(Clock::now() - t0, Scaled(ms(1500)));
}

TEST(MqttPublisher, UserNameAndPassword) {
    Broker broker;
    REQUIRE_BROKER(broker);
    broker.users = broker.dir + "/users";
    std::filesystem::create_directories(broker.dir);
    if (std::system(("mosquitto_passwd -b -c " + broker.users + " site s3cret").c_str()) != 0)
        GTEST_SKIP() << "mosquitto_passwd (package mosquitto) is needed to write the broker's password file";
    ASSERT_TRUE(broker.Start());
    auto wrong = Config(broker.port), right = Config(broker.port, "m520s/2");
    wrong.username = right.username = "site", wrong.password = "guess", right.password = "s3cret";
    monitor::MqttPublisher refused(wrong, Options(10)), accepted(right, Options(10));
    for (int i = 0; i < 300 && (!accepted.counters().connected || refused.counters().connect_failures < 2); ++i)
        std::this_thread::sleep_for(ms(10));
    EXPECT_TRUE(accepted.counters().connected);
    EXPECT_FALSE(refused.counters().connected);
    EXPECT_GE(refused.counters().connect_failures, 2u);  // refused, and tried again after the back-off
}

// A CA, a broker certificate for 127.0.0.1 and a client certificate, made
// with openssl; a second CA that signed none of them.
bool MakeCertificates(const std::string& d) {
    const std::string key = "-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes";
    std::ofstream(d + "/san.ext") << "subjectAltName=IP:127.0.0.1\n";
    const std::vector<std::string> steps{
        "openssl req -x509 " + key + " -keyout ca.key -out ca.crt -days 2 -subj /CN=m520s-test-ca",
        "openssl req -x509 " + key + " -keyout other.key -out other.crt -days 2 -subj /CN=m520s-other-ca",
        "openssl req " + key + " -keyout broker.key -out broker.csr -subj /CN=127.0.0.1",
        "openssl x509 -req -in broker.csr -CA ca.crt -CAkey ca.key -CAcreateserial -days 2 -extfile san.ext -out broker.crt",
        "openssl req " + key + " -keyout site.key -out site.csr -subj /CN=site",
        "openssl x509 -req -in site.csr -CA ca.crt -CAkey ca.key -CAcreateserial -days 2 -out site.crt",
        // Started as root, mosquitto reads its key as the user "mosquitto".
        "chmod 644 broker.key"};
    for (const auto& s : steps)
        if (std::system(("cd " + d + " && " + s + " >/dev/null 2>&1").c_str()) != 0) return false;
    return true;
}

TEST(MqttPublisher, TlsWithClientCertificate) {
    Broker broker;
    REQUIRE_BROKER(broker);
    std::filesystem::create_directories(broker.dir);
    if (!MakeCertificates(broker.dir)) GTEST_SKIP() << "openssl (package openssl) is needed to make test certificates";
    // The publishers reach the broker over TLS only; the subscriber listens on a plain port.
    const int tls_port = broker.port;
    broker.port = Connect(0);
    const std::string& d = broker.dir;
    broker.extra = fmt::format("listener {} 127.0.0.1\ncafile {}/ca.crt\ncertfile {}/broker.crt\nkeyfile {}/broker.key\n"
                               "require_certificate true\n",
                               tls_port, d, d, d);
    ASSERT_TRUE(broker.Start());
    Subscriber sub(broker.port, {"m520s/#"});
    ASSERT_TRUE(sub.WaitSubscribed());

    auto good = Config(tls_port, "m520s/3"), no_cert = Config(tls_port, "m520s/4"), wrong_ca = Config(tls_port, "m520s/5");
    good.tls = monitor::MqttTls{d + "/ca.crt", d + "/site.crt", d + "/site.key"};
    no_cert.tls = monitor::MqttTls{d + "/ca.crt", "", ""};
    wrong_ca.tls = monitor::MqttTls{d + "/other.crt", d + "/site.crt", d + "/site.key"};
    monitor::MqttPublisher a(good, Options(10)), b(no_cert, Options(10)), c(wrong_ca, Options(10));
    EXPECT_TRUE(sub.WaitFor([](const Log& l) { return Count(l, "m520s/3/status") > 0; }));
    EXPECT_EQ(sub.Last("m520s/3/status"), "online");
    for (int i = 0; i < 300 && (b.counters().connect_failures < 2 || c.counters().connect_failures < 2); ++i)
        std::this_thread::sleep_for(ms(10));
    EXPECT_TRUE(a.counters().connected);
    EXPECT_FALSE(b.counters().connected);  // the broker wants a certificate
    EXPECT_FALSE(c.counters().connected);  // the broker's certificate is not from this CA
    EXPECT_GE(b.counters().connect_failures + c.counters().connect_failures, 4u);
    // Nothing from the refused ones got through.
    for (const auto& r : sub.Messages()) EXPECT_EQ(r.topic.rfind("m520s/3/", 0), 0u) << r.topic;
}

}  // namespace
