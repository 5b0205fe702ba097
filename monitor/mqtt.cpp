#include "monitor/mqtt.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <map>

#include <mosquitto.h>

namespace monitor {

// ---- payloads ----

namespace {

std::string Compact(const Json::Value& v) {
    Json::StreamWriterBuilder b;
    b["indentation"] = "";
    b["emitUTF8"] = true;
    b["precision"] = 15;  // as the JSON lines: the same numbers, character for character
    return Json::writeString(b, v);
}

std::string TopicLevel(const Json::Value& v) {
    std::string s = v.isString() ? v.asString() : Compact(v);
    // A unit's identity must stay one topic level even if it holds odd characters.
    for (char& ch : s)
        if (ch == '/' || ch == '+' || ch == '#' || ch == '\0') ch = '_';
    return s;
}

// Home Assistant accepts only these in node and object ids.
std::string HaId(const std::string& s) {
    std::string out = s;
    for (char& ch : out)
        if (!(std::isalnum(static_cast<unsigned char>(ch)) || ch == '_' || ch == '-')) ch = '_';
    return out;
}

struct Measure {
    const char* unit;
    const char* device_class;
};

// What the field name tells about a value: phase voltages a/b/c and the DC
// output v are volts, the currents ia/ib/ic and i amperes, f the frequency.
std::optional<Measure> MeasureOf(const std::string& field) {
    if (field == "a" || field == "b" || field == "c" || field == "v") return Measure{"V", "voltage"};
    if (field == "ia" || field == "ib" || field == "ic" || field == "i") return Measure{"A", "current"};
    if (field == "f") return Measure{"Hz", "frequency"};
    if (field.find("temp") != std::string::npos && field.find("_state") == std::string::npos &&
        field.find("_alert") == std::string::npos && field.find("_count") == std::string::npos)
        return Measure{"°C", "temperature"};
    return std::nullopt;
}

struct Leaf {
    std::vector<std::string> path;  // keys and indices from "values" down
    std::string field;              // the last object key on the way
};

// A record's lists have room for the most the controller may send; the field
// beside each says how many of its entries the last answer filled.
const std::map<std::string, std::string>& ListCounts() {
    static const std::map<std::string, std::string> counts{
        {"airlock_state", "airlock_count"}, {"p40_43_state", "p40_43_count"}, {"p40_41_value", "p40_41_count"},
        {"p40_44_state", "p40_44_count"},   {"dc_m_value", "dc_m"},           {"dc_n_value", "dc_n"},
        {"user_p", "p_count"},              {"alert_m_state", "alert_m"},     {"alert_p_state", "alert_p"},
        {"dc_param_user", "dc_param_count"}, {"p41_41_value", "p41_41_count"}, {"p41_43_state", "p41_43_count"},
        {"p41_44_state", "p41_44_count"}};
    return counts;
}

// Every numeric value of a unit's "values", nested lists included, but no
// entry past its list's count: a sensor for a slot the site does not have
// would only ever show 0. The record's own id and time stamp are the unit's
// identity, not measurements.
void Walk(const Json::Value& v, std::vector<std::string>& path, const std::string& field,
          std::vector<Leaf>& out, Json::ArrayIndex used = ~0u) {
    if (v.isObject()) {
        for (const auto& name : v.getMemberNames()) {
            if (path.empty() && (name == "data_id" || name == "time_stamp")) continue;
            Json::ArrayIndex n = ~0u;
            if (auto c = ListCounts().find(name); c != ListCounts().end() && v[c->second].isUInt())
                n = v[c->second].asUInt();
            path.push_back(name);
            Walk(v[name], path, name, out, n);
            path.pop_back();
        }
    } else if (v.isArray()) {
        for (Json::ArrayIndex i = 0; i < v.size() && i < used; ++i) {
            path.push_back(std::to_string(i));
            Walk(v[i], path, field, out);
            path.pop_back();
        }
    } else if (v.isNumeric() && !v.isBool()) {
        out.push_back({path, field});
    }
}

bool IsIndex(const std::string& s) {
    return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

}  // namespace

std::string MqttPublisher::StateTopic(const std::string& device_type, const std::string& device) const {
    return config.prefix + "/" + device_type + "/" + device + "/state";
}

std::vector<MqttPublisher::Message> MqttPublisher::Discovery(const Unit& unit, bool all) const {
    std::vector<Message> out;
    if (config.discovery_prefix.empty()) return out;
    std::vector<Leaf> leaves;
    std::vector<std::string> path;
    Walk(unit.values, path, "", leaves);

    Json::Value device;
    device["identifiers"].append(config.client_id);
    device["name"] = "m520s " + std::to_string(config.device_id);
    if (!model.empty()) device["model"] = model;

    const std::string state_topic = StateTopic(unit.device_type, unit.device);
    for (const Leaf& leaf : leaves) {
        std::string object = unit.device_type + "_" + unit.device;
        std::string name = unit.device_type + " " + unit.device;
        std::string tmpl = "{{ value_json['values']";
        for (const auto& p : leaf.path) {
            object += "_" + p;
            name += " " + p;
            // Subscripts throughout: value_json.values would be the dict method.
            tmpl += IsIndex(p) ? "[" + p + "]" : "['" + p + "']";
        }
        tmpl += " }}";
        object = HaId(object);
        if (!all && unit.discovered.count(object)) continue;

        Json::Value cfg;
        cfg["name"] = name;
        cfg["unique_id"] = HaId(config.client_id) + "_" + object;
        cfg["object_id"] = object;
        cfg["state_topic"] = state_topic;
        cfg["value_template"] = tmpl;
        cfg["availability_topic"] = StatusTopic();
        cfg["payload_available"] = "online";
        cfg["payload_not_available"] = "offline";
        if (auto m = MeasureOf(leaf.field)) {
            cfg["unit_of_measurement"] = m->unit;
            cfg["device_class"] = m->device_class;
            cfg["state_class"] = "measurement";
        }
        cfg["device"] = device;
        out.push_back({config.discovery_prefix + "/sensor/" + node_id + "/" + object + "/config", Compact(cfg),
                       true, Kind::Other});
    }
    return out;
}

void MqttPublisher::QueueDiscovery(Unit& unit, bool all) {
    for (auto& m : Discovery(unit, all)) {
        // The object id is the topic level before "/config".
        std::string object = m.topic.substr(0, m.topic.size() - 7);
        object = object.substr(object.rfind('/') + 1);
        unit.discovered.insert(object);
        Enqueue(std::move(m));
    }
}

// ---- queue ----

void MqttPublisher::Enqueue(Message message) {
    if (queue.size() >= options.max_queue) {
        // Room is made from the oldest state first, then other retained
        // messages: the current retained set goes out again on every
        // connection anyway. Alarm events are the last thing given up.
        auto victim = std::find_if(queue.begin(), queue.end(), [](const Message& m) { return m.kind == Kind::State; });
        if (victim == queue.end())
            victim = std::find_if(queue.begin(), queue.end(), [](const Message& m) { return m.kind != Kind::Alarm; });
        if (victim == queue.end()) {
            if (message.kind != Kind::Alarm) {
                ++stats.dropped;
                return;
            }
            victim = queue.begin();
        }
        queue.erase(victim);
        ++stats.dropped;
    }
    queue.push_back(std::move(message));
    wake.notify_one();
}

// ---- life cycle ----

MqttPublisher::MqttPublisher(MqttConfig cfg) : MqttPublisher(std::move(cfg), Options{}) {}

MqttPublisher::MqttPublisher(MqttConfig cfg, Options opts) : config(std::move(cfg)), options(opts) {
    static std::once_flag init;
    std::call_once(init, [] { mosquitto_lib_init(); });
    node_id = HaId(config.client_id);

    client = mosquitto_new(config.client_id.c_str(), true, this);
    if (!client) throw std::runtime_error(std::string("mqtt: cannot create the client: ") + std::strerror(errno));
    auto fail = [&](const std::string& what, int rc) {
        mosquitto_destroy(client);
        client = nullptr;
        throw std::runtime_error("mqtt: " + what + ": " + mosquitto_strerror(rc));
    };
    int rc;
    if (config.username) {
        rc = mosquitto_username_pw_set(client, config.username->c_str(),
                                       config.password ? config.password->c_str() : nullptr);
        if (rc != MOSQ_ERR_SUCCESS) fail("user name and password", rc);
    }
    if (config.tls) {
        const MqttTls& t = *config.tls;
        rc = mosquitto_tls_set(client, t.ca_file.c_str(), nullptr, t.cert_file.empty() ? nullptr : t.cert_file.c_str(),
                               t.key_file.empty() ? nullptr : t.key_file.c_str(), nullptr);
        if (rc != MOSQ_ERR_SUCCESS) fail("TLS files", rc);
    }
    const std::string offline = "offline";
    rc = mosquitto_will_set(client, StatusTopic().c_str(), static_cast<int>(offline.size()), offline.data(), 1, true);
    if (rc != MOSQ_ERR_SUCCESS) fail("will on " + StatusTopic(), rc);
    // Publishing happens on the sender thread, the socket on the network thread.
    mosquitto_threaded_set(client, true);
    mosquitto_connect_callback_set(client, &MqttPublisher::on_connect);
    mosquitto_disconnect_callback_set(client, &MqttPublisher::on_disconnect);
    mosquitto_publish_callback_set(client, &MqttPublisher::on_publish);

    network = std::thread([this] { NetworkLoop(); });
    sender = std::thread([this] { SenderLoop(); });
}

MqttPublisher::~MqttPublisher() {
    Shutdown(options.stop_timeout_ms);
    if (client) mosquitto_destroy(client);
}

void MqttPublisher::OnStop() { Shutdown(options.stop_timeout_ms); }

void MqttPublisher::Shutdown(unsigned timeout_ms) {
    {
        std::unique_lock<std::mutex> l(lock);
        if (stopped) return;
        stopped = true;
        if (timeout_ms > 0 && connected) {
            Enqueue({StatusTopic(), "offline", true, Kind::Other});
            settled.wait_for(l, std::chrono::milliseconds(timeout_ms),
                             [this] { return !connected || (queue.empty() && in_flight.empty()); });
        }
        stopping = true;
        wake.notify_all();
    }
    if (sender.joinable()) sender.join();
    // The network thread sends the DISCONNECT (a clean end: no will) and
    // leaves; it gives up waiting for the socket after a second.
    {
        std::lock_guard<std::mutex> l(lock);
        net_stop = true;
        net_deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
        wake_net.notify_all();
    }
    if (network.joinable()) network.join();
}

MqttPublisher::Counters MqttPublisher::counters() const {
    std::lock_guard<std::mutex> l(lock);
    Counters c = stats;
    c.queued = queue.size();
    c.connected = connected;
    return c;
}

// ---- events from the poll thread ----

void MqttPublisher::OnEvent(const Json::Value& event) {
    if (!event.isObject()) return;
    const std::string kind = event.get("event", "").isString() ? event.get("event", "").asString() : "";
    std::lock_guard<std::mutex> l(lock);
    if (stopped) return;
    if (kind == "alarm") {
        Enqueue({config.prefix + "/alarm", Compact(event), false, Kind::Alarm});
        return;
    }
    if (kind != "cycle" || !event["units"].isArray()) return;
    for (const Json::Value& u : event["units"]) {
        if (!u.isObject() || !u.isMember("device_type") || !u.isMember("device")) continue;
        std::string device_type = TopicLevel(u["device_type"]);
        std::string device = TopicLevel(u["device"]);
        std::string topic = StateTopic(device_type, device);
        Unit& unit = units[topic];
        unit.device_type = device_type;
        unit.device = device;
        unit.values = u["values"];
        unit.state = Compact(u);
        // New values (a unit first seen, modules that appeared) get their
        // discovery config before the state that carries them.
        QueueDiscovery(unit, false);
        Enqueue({topic, unit.state, true, Kind::State});
    }
}

void MqttPublisher::OnActiveAlarms(const Json::Value& list) {
    std::lock_guard<std::mutex> l(lock);
    if (stopped) return;
    alarms = Compact(list.isArray() ? list : Json::Value(Json::arrayValue));
    Enqueue({config.prefix + "/alarms", *alarms, true, Kind::Other});
}

void MqttPublisher::OnModel(const std::string& text) {
    std::lock_guard<std::mutex> l(lock);
    if (stopped || text == model) return;
    model = text;
    // Discovery already sent carries the old model; send it again.
    for (auto& [topic, unit] : units) QueueDiscovery(unit, true);
}

// ---- libmosquitto's network thread ----

void MqttPublisher::on_connect(struct mosquitto*, void* self, int rc) {
    auto* p = static_cast<MqttPublisher*>(self);
    if (rc != 0) return;  // refused: libmosquitto tries again
    std::lock_guard<std::mutex> l(p->lock);
    p->connected = true;
    p->session_up = true;
    if (p->ever_connected) ++p->stats.reconnects;
    p->ever_connected = true;
    p->in_flight.clear();
    p->early_acks.clear();

    // The broker may have restarted without its retained messages: status and
    // discovery go first, then what waited, then the current retained set,
    // so the last retained value of every topic is the newest.
    std::deque<Message> waiting;
    waiting.swap(p->queue);
    if (!p->stopped) p->queue.push_back({p->StatusTopic(), "online", true, Kind::Other});
    for (auto& [topic, unit] : p->units)
        for (auto& m : p->Discovery(unit, true)) p->queue.push_back(std::move(m));
    for (auto& m : waiting) p->queue.push_back(std::move(m));
    for (auto& [topic, unit] : p->units) p->queue.push_back({topic, unit.state, true, Kind::State});
    if (p->alarms) p->queue.push_back({p->config.prefix + "/alarms", *p->alarms, true, Kind::Other});
    // The republished set may overrun the bound for a moment; it is as large
    // as the site, and new messages trim it the usual way.
    p->wake.notify_all();
}

void MqttPublisher::on_disconnect(struct mosquitto*, void* self, int) {
    auto* p = static_cast<MqttPublisher*>(self);
    std::lock_guard<std::mutex> l(p->lock);
    p->connected = false;
    p->settled.notify_all();
}

void MqttPublisher::on_publish(struct mosquitto*, void* self, int mid) {
    auto* p = static_cast<MqttPublisher*>(self);
    std::lock_guard<std::mutex> l(p->lock);
    if (p->in_flight.erase(mid)) {
        ++p->stats.sent;
    } else {
        if (p->early_acks.size() > 4096) p->early_acks.clear();
        p->early_acks.insert(mid);
    }
    if (p->queue.empty() && p->in_flight.empty()) p->settled.notify_all();
    p->wake.notify_one();
}

// ---- network thread ----

// libmosquitto's own loop thread ends for good when the first connection is
// refused, or on a DNS or TLS failure, and sleeps out its back-off without
// noticing a stop. This loop keeps trying whatever failed, and answers a
// stop within one turn.
void MqttPublisher::CountFailure() {
    std::lock_guard<std::mutex> l(lock);
    // A connection that had been accepted and is lost is not a failed attempt.
    if (session_up)
        session_up = false;
    else
        ++stats.connect_failures;
}

void MqttPublisher::NetworkLoop() {
    using std::chrono::steady_clock;
    bool first = true;
    unsigned delay = std::max(1u, options.reconnect_min_s);
    auto next_try = steady_clock::now();
    bool disconnecting = false;
    for (;;) {
        {
            std::unique_lock<std::mutex> l(lock);
            if (net_stop && (mosquitto_socket(client) < 0 || steady_clock::now() >= net_deadline)) return;
            if (net_stop && !disconnecting) {
                // Asked from this thread, the DISCONNECT goes out with the next turn of the loop.
                l.unlock();
                mosquitto_disconnect(client);
                disconnecting = true;
                continue;
            }
            if (connected) delay = std::max(1u, options.reconnect_min_s);
            if (mosquitto_socket(client) < 0) {
                if (net_stop) return;
                if (steady_clock::now() < next_try) {
                    wake_net.wait_until(l, next_try, [this] { return net_stop; });
                    continue;
                }
            }
        }
        if (mosquitto_socket(client) < 0) {
            int rc = first ? mosquitto_connect_async(client, config.host.c_str(), config.port, config.keepalive_s)
                           : mosquitto_reconnect_async(client);
            if (rc == MOSQ_ERR_SUCCESS) first = false;
            if (rc != MOSQ_ERR_SUCCESS) {
                CountFailure();
                next_try = steady_clock::now() + std::chrono::seconds(delay);
                delay = std::min(delay * 2, std::max(delay, options.reconnect_max_s));
                continue;
            }
        }
        int rc = mosquitto_loop(client, 100, 1);
        if (rc != MOSQ_ERR_SUCCESS && mosquitto_socket(client) < 0) {
            CountFailure();
            next_try = steady_clock::now() + std::chrono::seconds(delay);
            delay = std::min(delay * 2, std::max(delay, options.reconnect_max_s));
        } else if (rc != MOSQ_ERR_SUCCESS) {
            // An error that left the socket open (a refused CONNACK, say): start over.
            CountFailure();
            mosquitto_disconnect(client);
            next_try = steady_clock::now() + std::chrono::seconds(delay);
        }
    }
}

// ---- sender thread ----

void MqttPublisher::SenderLoop() {
    std::unique_lock<std::mutex> l(lock);
    for (;;) {
        wake.wait(l, [this] {
            return stopping || (connected && !queue.empty() && in_flight.size() < options.window);
        });
        if (stopping) return;
        Message m = std::move(queue.front());
        queue.pop_front();
        l.unlock();
        // Outside the lock: libmosquitto takes its own locks and calls back into us.
        int mid = 0;
        int rc = mosquitto_publish(client, &mid, m.topic.c_str(), static_cast<int>(m.payload.size()),
                                   m.payload.data(), 1, m.retain);
        l.lock();
        if (rc == MOSQ_ERR_SUCCESS) {
            if (early_acks.erase(mid)) {
                ++stats.sent;
                if (queue.empty() && in_flight.empty()) settled.notify_all();
            } else {
                in_flight.insert(mid);
            }
        } else if (rc == MOSQ_ERR_NO_CONN || rc == MOSQ_ERR_ERRNO || rc == MOSQ_ERR_CONN_LOST) {
            // Not sent: it waits at the head of the queue until the network
            // thread has the connection back.
            queue.push_front(std::move(m));
            wake.wait_for(l, std::chrono::milliseconds(200), [this] { return stopping; });
        } else {
            // Refused for good (too large, bad topic): counting it is all that can be done.
            ++stats.dropped;
        }
    }
}

}  // namespace monitor
