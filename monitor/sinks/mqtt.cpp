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

}  // namespace

std::string MqttPublisher::StateTopic(const std::string& device_type, const std::string& device) const {
    return config.prefix + "/" + device_type + "/" + device + "/state";
}

std::vector<DiscoveryMessage> MqttPublisher::Discovery(const std::string& topic, const Unit& unit) const {
    if (config.discovery_prefix.empty() || !unit.data) return {};
    const auto fields = UnitFields(unit.data->Kind(), unit.device, unit.data.get());
    return UnitDiscovery(discovery, model, unit.device_type, fields, topic);
}

void MqttPublisher::QueueDiscovery(Unit& unit, bool all) {
    const std::string topic = StateTopic(topic_level(unit.device_type), std::to_string(unit.device));
    for (auto& m : Discovery(topic, unit)) {
        if (!all && unit.discovered.count(m.object)) continue;
        unit.discovered.insert(m.object);
        Enqueue({std::move(m.topic), std::make_shared<const std::string>(std::move(m.payload)), true, Kind::Other});
    }
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

void MqttPublisher::Republish() {
    // The broker may have restarted without its retained messages: status and
    // discovery go first, then what waited, then the current retained set,
    // so the last retained value of every topic is the newest. The set may
    // overrun the bound for a moment; it is as large as the site, and new
    // messages trim it the usual way.
    std::deque<Message> waiting;
    waiting.swap(queue);
    if (!stopped) queue.push_back({StatusTopic(), std::make_shared<const std::string>("online"), true, Kind::Other});
    for (auto& [topic, unit] : units)
        for (auto& m : Discovery(topic, unit))
            queue.push_back({std::move(m.topic), std::make_shared<const std::string>(std::move(m.payload)), true,
                             Kind::Other});
    for (auto& m : waiting) queue.push_back(std::move(m));
    for (auto& [topic, unit] : units)
        if (unit.state) queue.push_back({topic, unit.state, true, Kind::State});
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
        unit.data = u.data;
        unit.state = u.json;
        // New values (a unit first seen, modules that appeared) get their
        // discovery config before the state that carries them.
        QueueDiscovery(unit, false);
        Enqueue({topic, unit.state, true, Kind::State});
    }
}

void MqttPublisher::OnSite(const std::shared_ptr<const SiteSnapshot>& site) {
    std::lock_guard<std::mutex> l(lock);
    if (stopped) return;
    if (site->alarms != alarms_seen) {
        alarms_seen = site->alarms;
        // Sent after this turn's alarm events, so the list is never older.
        alarms_due = true;
    }
    if (site->model_text != model) {
        model = site->model_text;
        // Discovery already sent carries the old model; send it again.
        for (auto& [topic, unit] : units) QueueDiscovery(unit, true);
    }
}

void MqttPublisher::QueueAlarmList() {
    alarms_due = false;
    alarms = std::make_shared<const std::string>(ActiveAlarmsJson(alarms_seen ? *alarms_seen : std::vector<Alarm>{}));
    Enqueue({config.prefix + "/alarms", alarms, true, Kind::Other});
}

int MqttPublisher::Tick(SteadyClock::time_point) {
    std::lock_guard<std::mutex> l(lock);
    if (alarms_due && !stopped) QueueAlarmList();
    return -1;
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
