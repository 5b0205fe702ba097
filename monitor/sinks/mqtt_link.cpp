// The broker side of the MQTT sink: libmosquitto's client, its network
// thread and the sender thread.

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <mosquitto.h>

#include "monitor/sinks/mqtt.h"
#include "monitor/version.h"

namespace monitor {

// ---- life cycle ----

MqttPublisher::MqttPublisher(MqttConfig cfg) : MqttPublisher(std::move(cfg), Options{}) {}

MqttPublisher::MqttPublisher(MqttConfig cfg, Options opts) : config(std::move(cfg)), options(opts) {
    static std::once_flag init;
    std::call_once(init, [] { mosquitto_lib_init(); });
    discovery.discovery_prefix = config.discovery_prefix;
    // The site keeps the ids of two sites with the same main device apart.
    discovery.node = HaId("m520s_" + config.site + "_" + std::to_string(config.device_id));
    discovery.prefix = config.prefix;
    discovery.controller_name = "M520S " + config.site + " " + std::to_string(config.device_id);
    discovery.version = kVersion;
    discovery.main_id = config.device_id;
    old_node = HaId(config.client_id);

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
    mosquitto_subscribe_callback_set(client, &MqttPublisher::on_subscribe);
    mosquitto_message_callback_set(client, &MqttPublisher::on_message);

    network = std::thread([this] { NetworkLoop(); });
    sender = std::thread([this] { SenderLoop(); });
}

MqttPublisher::~MqttPublisher() {
    Shutdown(options.stop_timeout_ms);
    if (client) mosquitto_destroy(client);
}

void MqttPublisher::Stop() {
    {
        std::lock_guard<std::mutex> l(lock);
        // The last change of the active alarms goes out before "offline".
        if (alarms_due && !stopped) QueueAlarmList();
    }
    Shutdown(options.stop_timeout_ms);
}

void MqttPublisher::Shutdown(unsigned timeout_ms) {
    {
        std::unique_lock<std::mutex> l(lock);
        if (stopped) return;
        stopped = true;
        if (timeout_ms > 0 && connected) {
            Enqueue({StatusTopic(), std::make_shared<const std::string>("offline"), true, Kind::Other});
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

// ---- libmosquitto's network thread ----

void MqttPublisher::on_connect(struct mosquitto*, void* self, int rc) {
    auto* p = static_cast<MqttPublisher*>(self);
    if (rc != 0) return;  // refused: libmosquitto tries again
    {
        std::lock_guard<std::mutex> l(p->lock);
        p->connected = true;
        p->session_up = true;
        if (p->ever_connected) ++p->stats.reconnects;
        p->ever_connected = true;
        p->resent.merge(p->in_flight);
        p->in_flight.clear();
        p->early_acks.clear();
        // A new session knows nothing of what the broker holds until it has read it back.
        ++p->session;
        p->session_start = std::chrono::steady_clock::now();
        p->broker_has.clear();
        p->marker_back = false;
        p->synced = false;
        p->last_sub_mid = -1;
        p->controller.payload.clear();
        for (auto& [topic, unit] : p->units) unit.config.payload.clear();

        p->Republish();
        p->wake.notify_all();
    }
    if (!p->config.discovery_prefix.empty()) p->Subscribe();
}

// ---- reading back what the broker holds ----

void MqttPublisher::Subscribe() {
    std::vector<std::string> filters = discovery.ConfigFilters(old_node);
    filters.push_back(SyncTopic());
    int mid = -1;
    for (const auto& f : filters) mosquitto_subscribe(client, &mid, f.c_str(), 1);
    std::lock_guard<std::mutex> l(lock);
    last_sub_mid = mid;
}

void MqttPublisher::Unsubscribe() {
    std::vector<std::string> filters = discovery.ConfigFilters(old_node);
    filters.push_back(SyncTopic());
    for (const auto& f : filters) mosquitto_unsubscribe(client, nullptr, f.c_str());
}

void MqttPublisher::on_subscribe(struct mosquitto*, void* self, int mid, int, const int*) {
    auto* p = static_cast<MqttPublisher*>(self);
    std::lock_guard<std::mutex> l(p->lock);
    if (mid != p->last_sub_mid || p->synced) return;
    // The broker sent the retained configs right after acknowledging the
    // subscriptions; a marker sent now comes back after the last of them.
    const auto token = std::make_shared<const std::string>(std::to_string(p->session));
    p->queue.push_front({p->SyncTopic(), token, false, Kind::Other});
    p->wake.notify_all();
}

void MqttPublisher::on_message(struct mosquitto*, void* self, const struct mosquitto_message* m) {
    auto* p = static_cast<MqttPublisher*>(self);
    const std::string topic = m->topic ? m->topic : "";
    const std::string payload(static_cast<const char*>(m->payload), m->payload ? m->payloadlen : 0);
    bool unsubscribe = false;
    {
        std::lock_guard<std::mutex> l(p->lock);
        if (p->synced) return;
        if (topic == p->SyncTopic()) {
            if (payload != std::to_string(p->session)) return;
            p->marker_back = true;
            if (!p->model.empty() && !p->stopped) unsubscribe = p->Sync();
        } else if (m->retain && !payload.empty()) {
            p->broker_has[topic] = payload;
        }
    }
    if (unsubscribe) p->Unsubscribe();
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
    } else if (auto r = p->resent.find(mid); r != p->resent.end()) {
        ++p->stats.sent;
        const std::string topic = std::move(r->second);
        p->resent.erase(r);
        p->RequeueNewest(topic);
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
        int rc = mosquitto_publish(client, &mid, m.topic.c_str(), static_cast<int>(m.payload->size()),
                                   m.payload->data(), 1, m.retain);
        l.lock();
        if (rc == MOSQ_ERR_SUCCESS) {
            if (early_acks.erase(mid)) {
                ++stats.sent;
                if (queue.empty() && in_flight.empty()) settled.notify_all();
            } else {
                in_flight.emplace(mid, m.topic);
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
