#pragma once
// Events, sites and configs as the monitor makes them, and what a subscriber
// saw, for the publisher's tests against a real broker.

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <set>

#include "ac/tele_ac.h"
#include "dc/tele_dc.h"
#include "monitor/models/catalogue.h"
#include "monitor/models/m520s.h"
#include "monitor/sinks/mqtt.h"
#include "rc/tele_rc.h"
#include "tests/mqtt/broker.h"

namespace mqtt_test {

using Clock = std::chrono::steady_clock;
using ms = std::chrono::milliseconds;


template <class Record>
inline std::vector<unsigned char> Bytes(const Record& r) {
    std::vector<unsigned char> b(sizeof r);
    std::memcpy(b.data(), &r, sizeof r);
    return b;
}

inline monitor::UnitReport Report(uint32_t device, const char* type, bool fresh, const std::vector<unsigned char>& bytes) {
    const auto* kind = monitor::model::M520S().Unit(type);
    std::string error;
    monitor::UnitReport u{device, type, fresh, monitor::UnitData::Decode(*kind, bytes.data(), bytes.size(), error), {}};
    EXPECT_TRUE(u.data) << error;
    u.json = std::make_shared<const std::string>(monitor::UnitJson(device, type, fresh, u.data.get()));
    return u;
}

// A "cycle" event as the monitor makes it: an AC panel of three channels, a
// DC panel and the rectifier group; `k` moves every value.
inline monitor::Event Cycle(float k, int modules = 2) {
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

inline monitor::Alarm AlarmOf(int seq) {
    monitor::Alarm a;
    a.device = 7, a.key = "DC_0", a.code = "01003", a.name = "直流电压过低", a.level = 2, a.state = 1;
    a.detail = "seq " + std::to_string(seq);
    a.since = "2026-12-08T16:00:01";
    return a;
}

inline monitor::Event Alarm(int seq) { return {"2026-12-08T16:00:01+00:00", monitor::AlarmEvent{"raise", AlarmOf(seq)}}; }

// The site as the poll thread publishes it: the model's reported text and the active alarms.
inline std::shared_ptr<const monitor::SiteSnapshot> Site(const std::string& model, std::vector<monitor::Alarm> active) {
    monitor::SiteSnapshot s;
    s.model = &monitor::model::M520S();
    s.model_text = model;
    s.link.known = s.link.up = true;
    s.alarms = std::make_shared<const std::vector<monitor::Alarm>>(std::move(active));
    return std::make_shared<const monitor::SiteSnapshot>(std::move(s));
}

inline const monitor::SiteSnapshot kNoSite;

// Discovery configs of one unit: every numeric value but the device id.
inline size_t Configs(const monitor::UnitReport& u) {
    size_t n = 0;
    for (const auto& f : monitor::UnitFields(u.data->Kind(), u.device, u.data.get()))
        n += f.field->kind != monitor::model::Kind::Id;
    return n;
}

inline size_t Configs(const monitor::Event& cycle) {
    size_t n = 0;
    for (const auto& u : cycle.As<monitor::CycleEvent>()->units) n += Configs(u);
    return n;
}

inline monitor::MqttConfig Config(int port, const std::string& prefix = "m520s/1") {
    monitor::MqttConfig c;
    c.host = "127.0.0.1", c.port = port, c.client_id = "m520s-" + std::to_string(port), c.prefix = prefix;
    return c;
}

inline monitor::MqttPublisher::Options Options(size_t max_queue, unsigned reconnect_s = 1) {
    monitor::MqttPublisher::Options o;
    o.max_queue = max_queue, o.reconnect_min_s = o.reconnect_max_s = reconnect_s;
    return o;
}

// What a subscriber last got on a topic: JSON, or the text as it is.
inline Json::Value StateOf(Subscriber& sub, const std::string& topic) {
    const std::string p = sub.Last(topic);
    if (p.empty()) return Json::Value();
    Json::Value v;
    Json::CharReaderBuilder b;
    std::string errs;
    std::unique_ptr<Json::CharReader> r(b.newCharReader());
    return r->parse(p.data(), p.data() + p.size(), &v, &errs) ? v : Json::Value(p);
}

inline size_t AlarmKeys(const std::string& device_type) {
    return monitor::AlarmKeysOf(monitor::model::M520S(), device_type).size();
}

// The device configs last seen, by topic.
inline std::map<std::string, Json::Value> DeviceConfigs(const Log& log) {
    std::map<std::string, Json::Value> out;
    for (const auto& r : log)
        if (r.topic.rfind("homeassistant/", 0) == 0) out[r.topic] = r.payload.empty() ? Json::Value() : Parse(r.payload);
    return out;
}

// n device configs are in, and something on every topic their components read.
inline bool ConfigsAndStates(const Log& log, size_t n) {
    const auto configs = DeviceConfigs(log);
    if (configs.size() != n) return false;
    std::set<std::string> seen;
    for (const auto& r : log) seen.insert(r.topic);
    for (const auto& [topic, d] : configs)
        for (const auto& object : d["cmps"].getMemberNames())
            if (!seen.count(d["cmps"][object].get("stat_t", d["stat_t"]).asString())) return false;
    return true;
}

inline size_t Count(const Log& log, const std::string& topic) {
    return std::count_if(log.begin(), log.end(), [&](const Received& r) { return r.topic == topic; });
}

inline std::vector<std::string> AlarmDetails(const Log& log) {
    std::vector<std::string> out;
    for (const auto& r : log)
        if (r.topic == "m520s/1/alarm") out.push_back(Parse(r.payload)["detail"].asString() + (r.retained ? " R" : ""));
    return out;
}

// Returns once an attempt to connect has just failed, so the next one is a
// whole back-off away: a broker started now has its subscribers in first.
inline void AfterFailedAttempt(monitor::MqttPublisher& pub) {
    const auto n = pub.counters().connect_failures;
    for (int i = 0; i < 300 && pub.counters().connect_failures == n; ++i) std::this_thread::sleep_for(ms(10));
}

}  // namespace mqtt_test

#define REQUIRE_BROKER(b) \
    if (!(b).Available()) GTEST_SKIP() << "no mosquitto broker at " << (b).binary << " (install mosquitto or set $MOSQUITTO)"
