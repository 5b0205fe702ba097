#pragma once
// Publishing the monitor's events to an MQTT broker (libmosquitto).
//
// The poll thread only queues: OnEvent and friends build the payloads, put
// them on a bounded queue and return. A sender thread hands queued messages
// to libmosquitto while the client is connected, at most a small window at a
// time, so a broker that is down or slow never holds the poll thread up and
// memory stays bounded. A network thread drives libmosquitto's socket:
// connects, reconnects with back-off, and libmosquitto resends what it had
// in flight.
//
// Topics, all QoS 1 (<prefix> and <discovery_prefix> from the config):
//   <prefix>/status                          "online"/"offline", retained, also the will
//   <prefix>/<device_type>/<device>/state    a unit's object of the "cycle" event, retained
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
#include <mutex>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <json/json.h>

#include "monitor/event_sink.h"
#include "monitor/sinks/mqtt_config.h"

struct mosquitto;

namespace monitor {

class MqttPublisher : public EventSink {
public:
    struct Options {
        size_t max_queue = 5000;     // unsent messages kept while the broker is away
        unsigned window = 20;        // messages handed to libmosquitto and not yet acknowledged
        unsigned reconnect_min_s = 1;
        unsigned reconnect_max_s = 30;
        unsigned stop_timeout_ms = 2000;  // OnStop waits at most this for "offline" to go out
    };

    struct Counters {
        uint64_t sent = 0;        // acknowledged by the broker
        uint64_t dropped = 0;     // thrown away because the queue was full
        uint64_t reconnects = 0;  // connections made after the first one
        uint64_t connect_failures = 0;  // attempts refused or lost before the broker accepted
        uint64_t queued = 0;      // waiting to be sent now
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

    void OnEvent(const Json::Value& event) override;
    void OnActiveAlarms(const Json::Value& alarms) override;
    void OnModel(const std::string& model) override;
    // Publishes "offline" (after what is still queued, within the stop time-out)
    // and disconnects. Later events are ignored.
    void OnStop() override;

    Counters counters() const;

    // Topic names, for the program's status and for tests.
    std::string StatusTopic() const { return config.prefix + "/status"; }
    std::string StateTopic(const std::string& device_type, const std::string& device) const;

protected:
    enum class Kind { State, Alarm, Other };
    struct Message {
        std::string topic;
        std::string payload;
        bool retain;
        Kind kind;
    };

    struct Unit {
        std::string device_type;
        std::string device;
        std::string state;                 // last payload of its state topic
        std::set<std::string> discovered;  // object ids whose config went out
        Json::Value values;                // last "values", to rebuild discovery
    };

    void Enqueue(Message message);  // caller holds lock
    void QueueDiscovery(Unit& unit, bool all);
    std::vector<Message> Discovery(const Unit& unit, bool all) const;
    void SenderLoop();
    void NetworkLoop();
    void CountFailure();
    void Shutdown(unsigned timeout_ms);

    static void on_connect(struct mosquitto*, void* self, int rc);
    static void on_disconnect(struct mosquitto*, void* self, int rc);
    static void on_publish(struct mosquitto*, void* self, int mid);

    const MqttConfig config;
    const Options options;
    std::string node_id;  // client id as a discovery topic level

    mutable std::mutex lock;
    std::condition_variable wake;     // sender: something to do
    std::condition_variable settled;  // OnStop: queue and window empty
    std::condition_variable wake_net;  // network thread: stop
    bool net_stop = false;
    std::chrono::steady_clock::time_point net_deadline;
    std::deque<Message> queue;
    std::set<int> in_flight;
    std::set<int> early_acks;  // acknowledged before publish() returned the id
    std::map<std::string, Unit> units;  // by state topic
    std::optional<std::string> alarms;  // last payload of <prefix>/alarms
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
