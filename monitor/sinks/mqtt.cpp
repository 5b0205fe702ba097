#include "monitor/sinks/mqtt.h"

#include <algorithm>

#include "monitor/json_out.h"
#include "monitor/models/catalogue.h"

namespace monitor {

namespace {

// A unit's identity must stay one topic level even if it holds odd characters.
std::string topic_level(std::string s) {
    for (char& ch : s)
        if (ch == '/' || ch == '+' || ch == '#' || ch == '\0') ch = '_';
    return s;
}

// How long a session waits for its read-back before it sends discovery
// anyway (a broker that refuses the subscription), and for the controller's
// model text that the configs carry.
constexpr auto kSyncWait = std::chrono::seconds(10);
constexpr auto kModelWait = std::chrono::seconds(30);

}  // namespace

std::string MqttPublisher::StateTopic(const std::string& device_type, const std::string& device) const {
    return config.prefix + "/" + device_type + "/" + device + "/state";
}

void MqttPublisher::Retain(const std::string& topic, std::string payload) {
    auto& kept = retained[topic];
    if (kept && *kept == payload) return;
    kept = std::make_shared<const std::string>(std::move(payload));
    Enqueue({topic, kept, true, Kind::Other});
}

void MqttPublisher::QueueConfig(const DeviceConfig& c, Published& p) {
    // What the broker holds: what this session sent, else what it read back.
    const auto had = broker_has.find(c.topic);
    const std::string& known = !p.payload.empty() ? p.payload : had != broker_has.end() ? had->second : p.payload;
    for (const auto& [object, platform] : c.components) p.ever[object] = platform;
    if (c.payload == known) {
        p.payload = c.payload;
        return;
    }
    p.payload = c.payload;
    Message m{c.topic, std::make_shared<const std::string>(c.payload), true, Kind::Other};
    // Right after a connection the configs belong to the retained set that
    // is sent again, which may overrun the bound for a moment (Republish).
    if (!syncing) return Enqueue(std::move(m));
    queue.push_back(std::move(m));
    wake.notify_one();
}

void MqttPublisher::AdoptComponents(const std::string& topic, Published& p) {
    // Components the broker's config has from before (a module that went
    // away while this program was not running) still get their stubs.
    const auto had = broker_has.find(topic);
    if (p.payload.empty() && had != broker_has.end())
        for (const auto& [object, platform] : ComponentsOf(had->second)) p.ever.emplace(object, platform);
}

void MqttPublisher::QueueUnitConfig(Unit& unit) {
    if (!synced || config.discovery_prefix.empty() || !unit.data || !catalogue) return;
    AdoptComponents(discovery.ConfigTopic(unit.data->Kind().device_type, unit.device), unit.config);
    QueueConfig(UnitConfig(discovery, *catalogue, model, *unit.data, unit.device, unit.config.ever), unit.config);
}

void MqttPublisher::QueueControllerConfig() {
    if (!synced || config.discovery_prefix.empty() || !catalogue) return;
    AdoptComponents(discovery.ConfigTopic("", 0), controller);
    QueueConfig(ControllerConfig(discovery, *catalogue, model, controller.ever), controller);
}

bool MqttPublisher::Sync() {
    if (synced || config.discovery_prefix.empty()) return false;
    synced = true;
    std::set<std::string> site_topics{discovery.ConfigTopic("", 0)};
    if (site)
        for (const auto& u : site->units)
            if (u.kind) site_topics.insert(discovery.ConfigTopic(u.kind->device_type, u.device));
    for (const auto& [topic, unit] : units)
        if (unit.data) site_topics.insert(discovery.ConfigTopic(unit.data->Kind().device_type, unit.device));
    syncing = true;
    QueueControllerConfig();
    for (auto& [topic, unit] : units) QueueUnitConfig(unit);
    syncing = false;
    // Devices that left the site, and configs of the single-component schema.
    for (const auto& [topic, payload] : broker_has)
        if (!site_topics.count(topic)) queue.push_back({topic, std::make_shared<const std::string>(), true, Kind::Other});
    wake.notify_one();
    return true;
}

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

void MqttPublisher::RequeueNewest(const std::string& topic) {
    if (stopped) return;
    if (const auto u = units.find(topic); u != units.end() && u->second.state)
        Enqueue({topic, u->second.state, true, Kind::State});
    else if (const auto r = retained.find(topic); r != retained.end())
        Enqueue({topic, r->second, true, Kind::Other});
    else if (alarms && topic == config.prefix + "/alarms")
        Enqueue({topic, alarms, true, Kind::Other});
}

void MqttPublisher::Republish() {
    // The broker may have restarted without its retained messages: status
    // goes first, then what waited, then the current retained set, so the
    // last retained value of every topic is the newest. Discovery follows
    // once the read-back says what is missing. The set may overrun the bound
    // for a moment; it is as large as the site, and new messages trim it the
    // usual way.
    std::deque<Message> waiting;
    waiting.swap(queue);
    if (!stopped) queue.push_back({StatusTopic(), std::make_shared<const std::string>("online"), true, Kind::Other});
    for (auto& m : waiting) queue.push_back(std::move(m));
    for (auto& [topic, unit] : units)
        if (unit.state) queue.push_back({topic, unit.state, true, Kind::State});
    for (const auto& [topic, payload] : retained) queue.push_back({topic, payload, true, Kind::Other});
    if (alarms) queue.push_back({config.prefix + "/alarms", alarms, true, Kind::Other});
}

void MqttPublisher::OnEvent(const Event& event, const SiteSnapshot&) {
    std::lock_guard<std::mutex> l(lock);
    if (stopped) return;
    if (event.As<AlarmEvent>()) {
        Enqueue({config.prefix + "/alarm", std::make_shared<const std::string>(event.Json()), false, Kind::Alarm});
        return;
    }
    const auto* cycle = event.As<CycleEvent>();
    if (!cycle) return;
    for (const auto& u : cycle->units) {
        const std::string topic = StateTopic(topic_level(u.device_type), std::to_string(u.device));
        Unit& unit = units[topic];
        unit.device_type = u.device_type;
        unit.device = u.device;
        // A unit first seen gets its alarm keys' states.
        if (u.data && !unit.data) alarms_due = true;
        if (u.data) unit.data = u.data;
        unit.state = u.json;
        // New values (a unit first seen, modules that appeared) get their
        // discovery config before the state that carries them.
        QueueUnitConfig(unit);
        Enqueue({topic, unit.state, true, Kind::State});
    }
}

void MqttPublisher::OnSite(const std::shared_ptr<const SiteSnapshot>& s) {
    std::lock_guard<std::mutex> l(lock);
    if (stopped) return;
    const bool first = !site;
    site = s;
    catalogue = s->model;
    if (first)
        // Restored units: their configs can be compared with the broker's
        // before the first cycle.
        for (const auto& u : s->units)
            if (u.kind && u.data) {
                Unit& unit = units[StateTopic(topic_level(u.device_type), std::to_string(u.device))];
                unit.device_type = u.device_type, unit.device = u.device, unit.data = u.data;
            }
    if (s->link.known) Retain(discovery.LinkTopic(), s->link.up ? "up" : "down");
    if (s->alarms != alarms_seen || first) {
        alarms_seen = s->alarms;
        // Sent after this turn's alarm events, so the list is never older.
        alarms_due = true;
    }
    if (s->model_text != model) {
        model = s->model_text;
        // Discovery already sent carries the old model; send it again.
        QueueControllerConfig();
        for (auto& [topic, unit] : units) QueueUnitConfig(unit);
    }
}

void MqttPublisher::QueueAlarmStates() {
    if (!catalogue || !site) return;
    const std::vector<Alarm> none;
    const std::vector<Alarm>& active = alarms_seen ? *alarms_seen : none;
    auto device = [&](const std::string& type, uint32_t id) {
        for (const model::AlarmKey* k : AlarmKeysOf(*catalogue, type)) {
            Retain(discovery.AlarmTopic(type, id, k->key), AlarmStatePayload(active, id, k->key));
        }
    };
    device(std::string(catalogue->MainDeviceType()), config.device_id);
    for (const auto& u : site->units)
        if (u.kind) device(u.kind->device_type, u.device);
    for (const auto& [topic, unit] : units)
        if (unit.data) device(unit.data->Kind().device_type, unit.device);
}

void MqttPublisher::QueueAlarmList() {
    alarms_due = false;
    alarms = std::make_shared<const std::string>(ActiveAlarmsJson(alarms_seen ? *alarms_seen : std::vector<Alarm>{}));
    Enqueue({config.prefix + "/alarms", alarms, true, Kind::Other});
    QueueAlarmStates();
}

int MqttPublisher::Tick(SteadyClock::time_point now) {
    bool unsubscribe = false;
    int wait = -1;
    {
        std::lock_guard<std::mutex> l(lock);
        if (alarms_due && !stopped) QueueAlarmList();
        const bool model_known = !model.empty() || now - session_start >= kModelWait;
        if (connected && !synced && !stopped && model_known && (marker_back || now - session_start >= kSyncWait))
            unsubscribe = Sync();
        // The network thread changes both on a new session: read them here.
        wait = synced || !connected ? -1 : 500;
    }
    if (unsubscribe) Unsubscribe();
    return wait;
}

std::optional<SinkState> MqttPublisher::State() const {
    const Counters c = counters();
    SinkState s;
    s.name = "mqtt";
    s.up = c.connected;
    s.counters = {{"sent", c.sent}, {"queued", c.queued}, {"dropped", c.dropped}, {"reconnects", c.reconnects}};
    return s;
}

}  // namespace monitor
