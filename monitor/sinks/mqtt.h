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
//   <prefix>/link                            "up"/"down": the controller answers, retained
//   <prefix>/<device_type>/<device>/state    a unit's object of the "cycle" line, retained
//   <prefix>/<device_type>/<device>/alarm/<key>
//                                            one alarm key's state and attributes, retained
//   <prefix>/alarm                           each "alarm" event, not retained
//   <prefix>/alarms                          the active alarms, retained
//   <discovery_prefix>/device/<node>/<object>/config
//                                            Home Assistant device discovery, retained:
//                                            the controller and each unit (mqtt_discovery.h)
// After every (re)connection the retained topics are published again, since
// a restarted broker may have lost them. Discovery is read back first: the
// sink subscribes to this node's configs, learns what the broker holds (a
// marker message on <prefix>/sync tells when the retained ones are all in),
// sends only the configs that differ, and empties the configs of devices
// that are no longer part of the site and those an earlier version published
// in the single-component schema.

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
struct mosquitto_message;

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
    std::string SyncTopic() const { return config.prefix + "/sync"; }

private:
    enum class Kind { State, Alarm, Other };
    struct Message {
        std::string topic;
        std::shared_ptr<const std::string> payload;
        bool retain;
        Kind kind;
    };
    // A device config as last queued this session ("" for none yet), and
    // every component it ever had, for the stubs that remove one.
    struct Published {
        std::string payload;
        Components ever;
    };
    struct Unit {
        std::string device_type;
        uint32_t device = 0;
        std::shared_ptr<const std::string> state;  // last payload of its state topic
        std::shared_ptr<const UnitData> data;      // to rebuild discovery
        Published config;
    };

    void Enqueue(Message message);  // caller holds lock
    void RequeueNewest(const std::string& topic);  // caller holds lock
    void Retain(const std::string& topic, std::string payload);  // caller holds lock
    // Queues a device config unless the broker already has it. Caller holds lock.
    void QueueConfig(const DeviceConfig& c, Published& p);
    void AdoptComponents(const std::string& topic, Published& p);  // caller holds lock
    void QueueUnitConfig(Unit& unit);      // caller holds lock; after the sync only
    void QueueControllerConfig();          // caller holds lock
    void QueueAlarmStates();               // caller holds lock
    void QueueAlarmList();                 // caller holds lock
    // Sends what the broker lacks and empties what left; true when the
    // caller must unsubscribe (outside the lock).
    bool Sync();  // caller holds lock
    void Unsubscribe();
    void Subscribe();
    void SenderLoop();
    void NetworkLoop();
    void CountFailure();
    void Republish();  // caller holds lock; after a connection
    void Shutdown(unsigned timeout_ms);

    static void on_connect(struct mosquitto*, void* self, int rc);
    static void on_disconnect(struct mosquitto*, void* self, int rc);
    static void on_publish(struct mosquitto*, void* self, int mid);
    static void on_subscribe(struct mosquitto*, void* self, int mid, int count, const int* granted);
    static void on_message(struct mosquitto*, void* self, const struct mosquitto_message* m);

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
    std::map<int, std::string> in_flight;  // message id -> topic, not yet acknowledged
    // Unacknowledged when a connection went: libmosquitto sends them again
    // after the newer values, so each one's topic gets its newest value once more.
    std::map<int, std::string> resent;
    std::set<int> early_acks;           // acknowledged before publish() returned the id
    std::map<std::string, Unit> units;  // by state topic
    std::shared_ptr<const std::string> alarms;  // last payload of <prefix>/alarms
    std::shared_ptr<const std::vector<Alarm>> alarms_seen;  // as the site last had them
    std::shared_ptr<const SiteSnapshot> site;                // the last one published
    std::map<std::string, std::shared_ptr<const std::string>> retained;  // link and alarm key states
    bool alarms_due = false;
    std::string model;
    const model::Model* catalogue = nullptr;
    Published controller;

    // Reading back what the broker holds, per session.
    std::string old_node;  // the single-component schema's node id
    uint64_t session = 0;
    int last_sub_mid = -1;
    bool marker_back = false;
    bool synced = false;
    bool syncing = false;  // Sync() is queuing the session's configs
    std::chrono::steady_clock::time_point session_start;
    std::map<std::string, std::string> broker_has;  // config topic -> retained payload
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
