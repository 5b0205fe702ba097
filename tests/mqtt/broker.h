#pragma once
// A real mosquitto broker on a loopback port of its own, and a real
// subscriber, for the MQTT tests.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <mosquitto.h>

namespace mqtt_test {

inline std::string FindBroker() {
    if (const char* env = std::getenv("MOSQUITTO")) return env;
    for (const char* p : {"/usr/sbin/mosquitto", "/usr/bin/mosquitto", "/usr/local/sbin/mosquitto"})
        if (access(p, X_OK) == 0) return p;
    return "";
}

inline int FreePort() {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t n = sizeof a;
    getsockname(s, reinterpret_cast<sockaddr*>(&a), &n);
    close(s);
    return ntohs(a.sin_port);
}

inline bool PortOpen(int port) {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool ok = connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    close(s);
    return ok;
}

// The broker keeps nothing on disk, so a restart loses every retained message.
class Broker {
public:
    explicit Broker(std::string extra_config = "") : extra(std::move(extra_config)) {
        binary = FindBroker();
        char tmpl[] = "/tmp/m520s-mqtt-XXXXXX";
        dir = mkdtemp(tmpl);
        port = FreePort();
    }
    ~Broker() {
        Stop();
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
    bool Available() const { return !binary.empty(); }

    bool Start() {
        std::ofstream(dir + "/mosquitto.conf") << "listener " << port << " 127.0.0.1\n"
                                               << "allow_anonymous true\n"
                                               << "persistence false\n"
                                               << extra;
        pid = fork();
        if (pid == 0) {
            std::string log = dir + "/broker.log";
            freopen(log.c_str(), "a", stdout);
            freopen(log.c_str(), "a", stderr);
            std::string conf = dir + "/mosquitto.conf";
            execl(binary.c_str(), binary.c_str(), "-c", conf.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        for (int i = 0; i < 100; ++i) {
            if (PortOpen(port)) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }
    void Stop(int sig = SIGTERM) {
        if (pid <= 0) return;
        kill(pid, sig);
        waitpid(pid, nullptr, 0);
        pid = -1;
    }

    std::string binary, dir, extra;
    int port = 0;
    pid_t pid = -1;
};

struct Received {
    std::string topic;
    std::string payload;
    bool retained;
};

// A libmosquitto subscriber that records everything on its topic filters.
class Subscriber {
public:
    Subscriber(int port, std::vector<std::string> filters) : topics(std::move(filters)) {
        mosquitto_lib_init();
        client = mosquitto_new(nullptr, true, this);
        mosquitto_connect_callback_set(client, [](mosquitto* m, void* self, int rc) {
            auto* s = static_cast<Subscriber*>(self);
            if (rc != 0) return;
            for (const auto& t : s->topics) mosquitto_subscribe(m, nullptr, t.c_str(), 1);
        });
        mosquitto_subscribe_callback_set(client, [](mosquitto*, void* self, int, int, const int*) {
            auto* s = static_cast<Subscriber*>(self);
            std::lock_guard<std::mutex> l(s->lock);
            ++s->subscribed;
            s->cv.notify_all();
        });
        mosquitto_message_callback_set(client, [](mosquitto*, void* self, const mosquitto_message* msg) {
            auto* s = static_cast<Subscriber*>(self);
            std::lock_guard<std::mutex> l(s->lock);
            s->messages.push_back({msg->topic, std::string(static_cast<const char*>(msg->payload),
                                                           static_cast<size_t>(msg->payloadlen)),
                                   msg->retain});
            s->cv.notify_all();
        });
        mosquitto_reconnect_delay_set(client, 1, 1, false);
        mosquitto_connect_async(client, "127.0.0.1", port, 10);
        mosquitto_loop_start(client);
    }
    ~Subscriber() {
        mosquitto_disconnect(client);
        mosquitto_loop_stop(client, false);
        mosquitto_destroy(client);
    }
    bool WaitSubscribed(int n = 1, int ms = 5000) {
        std::unique_lock<std::mutex> l(lock);
        return cv.wait_for(l, std::chrono::milliseconds(ms), [&] { return subscribed >= n; });
    }
    // Waits until `pred` holds over everything received so far.
    bool WaitFor(const std::function<bool(const std::vector<Received>&)>& pred, int ms = 5000) {
        std::unique_lock<std::mutex> l(lock);
        return cv.wait_for(l, std::chrono::milliseconds(ms), [&] { return pred(messages); });
    }
    std::vector<Received> Messages() {
        std::lock_guard<std::mutex> l(lock);
        return messages;
    }
    // The last payload received on `topic`, or "" if none.
    std::string Last(const std::string& topic) {
        std::lock_guard<std::mutex> l(lock);
        for (auto it = messages.rbegin(); it != messages.rend(); ++it)
            if (it->topic == topic) return it->payload;
        return "";
    }

private:
    std::vector<std::string> topics;
    mosquitto* client;
    std::mutex lock;
    std::condition_variable cv;
    std::vector<Received> messages;
    int subscribed = 0;
};

}  // namespace mqtt_test
