#pragma once
// Publishing the site to an MQTT broker (libmosquitto).
//
// The poll thread only queues: OnEvent and OnSite take the payloads the
// events already carry, put them on a bounded queue and return. A sender
// thread hands queued messages to libmosquitto while the client is
// connected, a small window at a time, so a broker that is down or slow
// never holds the poll thread up and memory stays bounded. A network thread
// drives libmosquitto's socket: connects, reconnects with back-off, and
// libmosquitto resends what it had in flight.
//
// Topics, all QoS 1 (<prefix> and <discovery_prefix> from the config):
//   <prefix>/status                          "online"/"offline", retained, also the will
//   <prefix>/<device_type>/<device>/state    a unit's object of the "cycle" line, retained
//   <prefix>/alarm                           each "alarm" event, not retained
//   <prefix>/alarms                          the active alarms, retained
//   <discovery_prefix>/sensor/<node>/<object>/config
//                                            Home Assistant discovery, retained, one per
//                                            numeric value of a unit
// After every (re)connection the retained topics are published again, since
// a restarted broker may have lost them.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "monitor/sinks/mqtt_config.h"
#include "monitor/sinks/mqtt_discovery.h"
#include "monitor/sinks/sink.h"

struct mosquitto;

namespace monitor {

class MqttPublisher : public Sink {
public:
    struct Options {
        size_t max_queue = 5000;  // unsent messages kept while the broker is away
        unsigned window = 20;     // messages handed to libmosquitto and not yet acknowledged
        unsigned reconnect_min_s = 1;
        unsigned reconnect_max_s = 30;
        unsigned stop_timeout_ms = 2000;  // Stop waits at most this for "offline" to go out
    };

    struct Counters {
        uint64_t sent = 0;              // acknowledged by the broker
        uint64_t dropped = 0;           // thrown away because the queue was full
        uint64_t reconnects = 0;        // connections made after the first one
        uint64_t connect_failures = 0;  // attempts refused or lost before the broker accepted
        uint64_t queued = 0;            // waiting to be sent now
        bool connected = false;
    };

    // Starts connecting at once; does not wait for the broker. Throws
    // std::runtime_error when libmosquitto refuses the settings (TLS files,
    // out of memory).
    explicit MqttPublisher(MqttConfig config);
    MqttPublisher(MqttConfig config, Options options);
    ~MqttPublisher() override;

    MqttPublisher(const MqttPublisher&) = delete;
    MqttPublisher& operator=(const MqttPublisher&) = delete;

    std::string Name() const override { return "mqtt"; }
    void OnEvent(const Event& event, const SiteSnapshot& site) override;
    void OnSite(const std::shared_ptr<const SiteSnapshot>& site) override;
    int Tick(SteadyClock::time_point now) override;
    std::optional<SinkState> State() const override;
    // Publishes "offline" (after what is still queued, within the stop
    // time-out) and disconnects. Later events are ignored.
    void Stop() override;

    Counters counters() const;

    std::string StatusTopic() const { return config.prefix + "/status"; }
    std::string StateTopic(const std::string& device_type, const std::string& device) const;

private:
    enum class Kind { State, Alarm, Other };
    struct Message {
        std::string topic;
        std::shared_ptr<const std::string> payload;
        bool retain;
        Kind kind;
    };
    struct Unit {
        std::string device_type;
        uint32_t device = 0;
        std::shared_ptr<const std::string> state;  // last payload of its state topic
        std::shared_ptr<const UnitData> data;      // to rebuild discovery
        std::set<std::string> discovered;          // object ids whose config went out
    };

    void Enqueue(Message message);  // caller holds lock
    void QueueDiscovery(Unit& unit, bool all);
    std::vector<DiscoveryMessage> Discovery(const std::string& topic, const Unit& unit) const;
    void QueueAlarmList();  // caller holds lock
    void SenderLoop();
    void NetworkLoop();
    void CountFailure();
    void Republish();  // caller holds lock; after a connection
    void Shutdown(unsigned timeout_ms);

    static void on_connect(struct mosquitto*, void* self, int rc);
    static void on_disconnect(struct mosquitto*, void* self, int rc);
    static void on_publish(struct mosquitto*, void* self, int mid);

    const MqttConfig config;
    const Options options;
    DiscoverySettings discovery;

    mutable std::mutex lock;
    std::condition_variable wake;      // sender: something to do
    std::condition_variable settled;   // Stop: queue and window empty
    std::condition_variable wake_net;  // network thread: stop
    bool net_stop = false;
    std::chrono::steady_clock::time_point net_deadline;
    std::deque<Message> queue;
    std::set<int> in_flight;
    std::set<int> early_acks;           // acknowledged before publish() returned the id
    std::map<std::string, Unit> units;  // by state topic
    std::shared_ptr<const std::string> alarms;  // last payload of <prefix>/alarms
    std::shared_ptr<const std::vector<Alarm>> alarms_seen;  // as the site last had them
    bool alarms_due = false;
    std::string model;
    bool connected = false;
    bool ever_connected = false;
    bool session_up = false;  // the current socket got its CONNACK
    bool stopping = false;
    bool stopped = false;
    Counters stats;

    struct mosquitto* client = nullptr;
    std::thread network;
    std::thread sender;
};

}  // namespace monitor
