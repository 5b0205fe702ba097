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

namespace {

using namespace mqtt_test;
using Clock = std::chrono::steady_clock;
using ms = std::chrono::milliseconds;

template <class Record>
std::vector<unsigned char> Bytes(const Record& r) {
    std::vector<unsigned char> b(sizeof r);
    std::memcpy(b.data(), &r, sizeof r);
    return b;
}

monitor::UnitReport Report(uint32_t device, const char* type, bool fresh, const std::vector<unsigned char>& bytes) {
    const auto* kind = monitor::model::M520S().Unit(type);
    std::string error;
    monitor::UnitReport u{device, type, fresh, monitor::UnitData::Decode(*kind, bytes.data(), bytes.size(), error), {}};
    EXPECT_TRUE(u.data) << error;
    u.json = std::make_shared<const std::string>(monitor::UnitJson(device, type, fresh, u.data.get()));
    return u;
}

// A "cycle" event as the monitor makes it: an AC panel of three channels, a
// DC panel and the rectifier group; `k` moves every value.
monitor::Event Cycle(float k, int modules = 2) {
    tele_c_m520s_ac ac{};
    ac.data_id = 5;
    ac.ia = ac.ib = ac.ic = 10.5f + k;
    ac.channel_count = 3;
    ac.p40_43_count = 3;
    std::vector<unsigned char> acb = Bytes(ac);
    for (int c = 0; c < 3; ++c) {
        tele_c_m520s_ac_channel ch{};
        ch.a = 220.0f + c + k, ch.b = 221.0f + c + k, ch.c = 222.0f, ch.f = 50 + k;
        ch.p40_44_count = 8;
        const auto b = Bytes(ch);
        acb.insert(acb.end(), b.begin(), b.end());
    }
    tele_c_m520s_dc dc{};
    dc.data_id = 7;
    dc.v = 53.5f + k, dc.i = 120.0f + k, dc.dc_m = 2, dc.dc_m_value[0] = dc.dc_m_value[1] = k;
    tele_c_m520s_rc rc{};
    rc.data_id = 1;
    rc.group_value = 53.0f + k;
    rc.module_count = static_cast<uint8_t>(modules);
    std::vector<unsigned char> rcb = Bytes(rc);
    for (int m = 0; m < modules; ++m) {
        tele_c_m520s_rc_channel mod{};
        mod.module_value = 15.0f + k;
        mod.p41_41_count = 3;
        mod.p41_41_value[0] = 1, mod.p41_41_value[1] = 2, mod.p41_41_value[2] = 3;
        const auto b = Bytes(mod);
        rcb.insert(rcb.end(), b.begin(), b.end());
    }
    monitor::CycleEvent ev;
    ev.n = 1;
    ev.units = {Report(5, "m520s-ac", true, acb), Report(7, "m520s-dc", true, Bytes(dc)),
                Report(1, "m520s-rc", false, rcb)};
    return {"2026-12-08T16:00:00+00:00", ev};
}

monitor::Alarm AlarmOf(int seq) {
    monitor::Alarm a;
    a.device = 7, a.key = "DC_0", a.code = "01003", a.name = "直流电压过低", a.level = 2, a.state = 1;
    a.detail = "seq " + std::to_string(seq);
    a.since = "2026-12-08T16:00:01";
    return a;
}

monitor::Event Alarm(int seq) { return {"2026-12-08T16:00:01+00:00", monitor::AlarmEvent{"raise", AlarmOf(seq)}}; }

// The site as the poll thread publishes it: the model's reported text and the active alarms.
std::shared_ptr<const monitor::SiteSnapshot> Site(const std::string& model, std::vector<monitor::Alarm> active) {
    monitor::SiteSnapshot s;
    s.model = &monitor::model::M520S();
    s.model_text = model;
    s.alarms = std::make_shared<const std::vector<monitor::Alarm>>(std::move(active));
    return std::make_shared<const monitor::SiteSnapshot>(std::move(s));
}

const monitor::SiteSnapshot kNoSite;

// Discovery configs of one unit: every numeric value but the device id.
size_t Configs(const monitor::UnitReport& u) {
    size_t n = 0;
    for (const auto& f : monitor::UnitFields(u.data->Kind(), u.device, u.data.get()))
        n += f.field->kind != monitor::model::Kind::Id;
    return n;
}

size_t Configs(const monitor::Event& cycle) {
    size_t n = 0;
    for (const auto& u : cycle.As<monitor::CycleEvent>()->units) n += Configs(u);
    return n;
}

monitor::MqttConfig Config(int port, const std::string& prefix = "m520s/1") {
    monitor::MqttConfig c;
    c.host = "127.0.0.1", c.port = port, c.client_id = "m520s-" + std::to_string(port), c.prefix = prefix;
    return c;
}

monitor::MqttPublisher::Options Options(size_t max_queue, unsigned reconnect_s = 1) {
    monitor::MqttPublisher::Options o;
    o.max_queue = max_queue, o.reconnect_min_s = o.reconnect_max_s = reconnect_s;
    return o;
}

// A value_template ({{ value_json['values'][...] }}) applied to a state, as Home Assistant would.
Json::Value Resolve(const std::string& tmpl, Json::Value v) {
    static const std::regex whole(R"(\{\{ value_json((\['[^']*'\]|\[\d+\])+) \}\})"), step(R"(\['([^']*)'\]|\[(\d+)\])");
    std::smatch m;
    if (!std::regex_match(tmpl, m, whole)) return "bad template";
    const std::string path = m[1];
    for (std::sregex_iterator it(path.begin(), path.end(), step), end; it != end; ++it)
        v = (*it)[1].matched ? v.get((*it)[1].str(), Json::Value()) : v.get(std::stoi((*it)[2]), Json::Value());
    return v;
}

size_t Count(const Log& log, const std::string& topic) {
    return std::count_if(log.begin(), log.end(), [&](const Received& r) { return r.topic == topic; });
}

std::vector<std::string> AlarmDetails(const Log& log) {
    std::vector<std::string> out;
    for (const auto& r : log)
        if (r.topic == "m520s/1/alarm") out.push_back(Parse(r.payload)["detail"].asString() + (r.retained ? " R" : ""));
    return out;
}

// Returns once an attempt to connect has just failed, so the next one is a
// whole back-off away: a broker started now has its subscribers in first.
void AfterFailedAttempt(monitor::MqttPublisher& pub) {
    const auto n = pub.counters().connect_failures;
    for (int i = 0; i < 300 && pub.counters().connect_failures == n; ++i) std::this_thread::sleep_for(ms(10));
}

#define REQUIRE_BROKER(b) \
    if (!(b).Available()) GTEST_SKIP() << "no mosquitto broker at " << (b).binary << " (install mosquitto or set $MOSQUITTO)"

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
    EXPECT_LT(Clock::now() - t0, Scaled(ms(300)));
    auto c = pub.counters();
    EXPECT_FALSE(c.connected);
    EXPECT_EQ(c.queued, 12u);
    const size_t configs = Configs(Cycle(0));
    // events, states, discovery twice (the model came), the alarm list
    EXPECT_EQ(c.dropped, 3 + 50 * 3 + configs + configs + 1 - 12u);

    AfterFailedAttempt(pub);
    ASSERT_TRUE(broker.Start());
    auto sub = std::make_unique<Subscriber>(broker.port, std::vector<std::string>{"m520s/1/#", "homeassistant/#"});
    ASSERT_TRUE(sub->WaitSubscribed());
    const std::string ac = "m520s/1/m520s-ac/5/state", rc = "m520s/1/m520s-rc/1/state";
    ASSERT_TRUE(sub->WaitFor([&](const Log& l) { return Count(l, "m520s/1/alarms") && Count(l, rc); }));  // last
    Log log = sub->Messages();
    EXPECT_EQ(AlarmDetails(log), (std::vector<std::string>{"seq 0", "seq 1", "seq 2"}));
    EXPECT_EQ(sub->Last("m520s/1/status"), "online");
    const auto last = Cycle(49);
    for (const auto& u : last.As<monitor::CycleEvent>()->units)
        EXPECT_EQ(Parse(sub->Last(cfg.prefix + "/" + u.device_type + "/" + std::to_string(u.device) + "/state")),
                  Parse(*u.json));
    EXPECT_EQ(Parse(sub->Last("m520s/1/alarms")), Parse(monitor::ActiveAlarmsJson(active)));

    // Every discovery config names a number in its unit's state and the main
    // device's model; the catalogue gives unit and class.
    std::map<std::string, Json::Value> found;
    for (const auto& r : log) {
        if (r.topic.rfind("homeassistant/", 0) != 0) continue;
        Json::Value d = Parse(r.payload);
        const std::string object = r.topic.substr(r.topic.rfind('/', r.topic.size() - 8) + 1,
                                                  r.topic.size() - 7 - r.topic.rfind('/', r.topic.size() - 8) - 1);
        EXPECT_EQ(r.topic, "homeassistant/sensor/" + cfg.client_id + "/" + object + "/config");
        EXPECT_EQ(d["unique_id"], cfg.client_id + "_" + object);
        EXPECT_EQ(d["default_entity_id"], "sensor." + cfg.client_id + "_" + object);
        EXPECT_FALSE(d.isMember("object_id"));
        EXPECT_EQ(d["availability_topic"], "m520s/1/status");
        EXPECT_EQ(d["device"]["model"], "M520S");
        EXPECT_TRUE(Resolve(d["value_template"].asString(), Parse(sub->Last(d["state_topic"].asString()))).isNumeric())
            << r.payload;
        found[object] = d;
    }
    EXPECT_EQ(found.size(), configs);
    for (const auto& [object, unit, cls, value] :
         {std::tuple{"m520s-ac_5_channels_2_b", "V", "voltage", 272.0}, {"m520s-ac_5_channels_0_f", "Hz", "frequency", 99.0},
          {"m520s-ac_5_ic", "A", "current", 59.5}, {"m520s-dc_7_v", "V", "voltage", 102.5},
          {"m520s-dc_7_i", "A", "current", 169.0}, {"m520s-rc_1_modules_1_p41_41_value_2", "", "", 3.0},
          {"m520s-ac_5_channels_1_a_state", "", "", 0.0}}) {
        const Json::Value& d = found[object];
        EXPECT_EQ(d.get("unit_of_measurement", "").asString() + d.get("device_class", "").asString(),
                  std::string(unit) + cls) << object;
        EXPECT_EQ(Resolve(d["value_template"].asString(), Parse(sub->Last(d["state_topic"].asString()))).asDouble(),
                  value) << object;
    }

    // A module that appears gets its configs before its state.
    const size_t states = Count(log, rc);
    const auto three = Cycle(50, 3);
    pub.OnEvent(three, kNoSite);
    ASSERT_TRUE(sub->WaitFor([&](const Log& l) { return Count(l, rc) > states; }));
    log = sub->Messages();
    size_t seen = 0, configs_before = 0;
    for (const auto& r : log) {
        if (r.topic == rc && ++seen > states) break;
        configs_before += r.topic.find("modules_2_") != std::string::npos;
    }
    EXPECT_EQ(configs_before, Configs(three.As<monitor::CycleEvent>()->units[2]) -
                                  Configs(Cycle(0).As<monitor::CycleEvent>()->units[2]));

    // Broker away for a while: cycles and alarms go on and nothing waits.
    broker.Stop();
    t0 = Clock::now();
    for (int i = 51; i < 80; ++i) {
        pub.OnEvent(Cycle(i, 3), kNoSite);
        if (i % 10 == 0) pub.OnEvent(Alarm(i), kNoSite);
        std::this_thread::sleep_for(ms(40));
    }
    EXPECT_LT(Clock::now() - t0, ms(29 * 40) + Scaled(ms(300)));
    AfterFailedAttempt(pub);
    ASSERT_TRUE(broker.Start());  // nothing retained any more
    sub = std::make_unique<Subscriber>(broker.port, std::vector<std::string>{"m520s/1/#", "homeassistant/#"});
    ASSERT_TRUE(sub->WaitSubscribed());
    const std::string added = "homeassistant/sensor/" + cfg.client_id + "/m520s-rc_1_modules_2_module_value/config";
    ASSERT_TRUE(sub->WaitFor([&](const Log& l) { return Count(l, "m520s/1/alarms") && Count(l, added); }));
    EXPECT_EQ(AlarmDetails(sub->Messages()), (std::vector<std::string>{"seq 60", "seq 70"}));
    EXPECT_EQ(sub->Last("m520s/1/status"), "online");
    EXPECT_EQ(Parse(sub->Last(ac)), Parse(*Cycle(79, 3).As<monitor::CycleEvent>()->units[0].json));
    EXPECT_EQ(Parse(sub->Last(rc)), Parse(*Cycle(79, 3).As<monitor::CycleEvent>()->units[2].json));
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
