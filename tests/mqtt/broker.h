#pragma once
// A real mosquitto on a loopback port of its own (nothing kept on disk, so a
// restart loses every retained message) and a real libmosquitto subscriber.

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
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <json/json.h>
#include <mosquitto.h>

namespace mqtt_test {

inline Json::Value Parse(const std::string& text) {
    Json::Value v;
    std::istringstream in(text);
    in >> v;
    return v;
}

inline int Connect(int port) {  // port 0: bind a free one; returns the port or -1
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t n = sizeof a;
    int ok = port ? connect(s, reinterpret_cast<sockaddr*>(&a), n)
                  : bind(s, reinterpret_cast<sockaddr*>(&a), n) | getsockname(s, reinterpret_cast<sockaddr*>(&a), &n);
    close(s);
    return ok == 0 ? ntohs(a.sin_port) : -1;
}

struct Broker {
    std::string binary = std::getenv("MOSQUITTO") ? std::getenv("MOSQUITTO") : "/usr/sbin/mosquitto";
    std::string dir = std::filesystem::temp_directory_path() / ("m520s-mqtt-" + std::to_string(getpid()));
    int port = Connect(0);
    pid_t pid = -1;
    std::string users;  // a mosquitto password file: only these may connect
    std::string extra;  // more configuration lines (another listener, say)

    bool Available() const { return access(binary.c_str(), X_OK) == 0; }
    bool Start() {
        std::filesystem::create_directories(dir);
        std::ofstream(dir + "/m.conf") << "listener " << port << " 127.0.0.1\npersistence false\n"
                                       << (users.empty() ? "allow_anonymous true\n" : "password_file " + users + "\n")
                                       << extra;
        if ((pid = fork()) == 0) {
            freopen((dir + "/broker.log").c_str(), "a", stderr);
            execl(binary.c_str(), binary.c_str(), "-c", (dir + "/m.conf").c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        for (int i = 0; i < 100 && Connect(port) < 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
        return Connect(port) == port;
    }
    void Stop() {
        if (pid > 0 && kill(pid, SIGTERM) == 0) waitpid(pid, nullptr, 0);
        pid = -1;
    }
    ~Broker() {
        Stop();
        std::filesystem::remove_all(dir);
    }
};

struct Received {
    std::string topic, payload;
    bool retained;
};
using Log = std::vector<Received>;

// The last payload of `topic` in `log`, "" when none came.
inline std::string LastIn(const Log& log, const std::string& topic) {
    for (auto it = log.rbegin(); it != log.rend(); ++it)
        if (it->topic == topic) return it->payload;
    return "";
}

class Subscriber {
public:
    Subscriber(int port, std::vector<std::string> filters) : topics(std::move(filters)) {
        mosquitto_lib_init();
        client = mosquitto_new(nullptr, true, this);
        mosquitto_connect_callback_set(client, [](mosquitto* m, void* self, int) {
            for (const auto& t : static_cast<Subscriber*>(self)->topics) mosquitto_subscribe(m, nullptr, t.c_str(), 1);
        });
        mosquitto_subscribe_callback_set(client, [](mosquitto*, void* self, int, int, const int*) {
            static_cast<Subscriber*>(self)->Add({"", "", false}, true);
        });
        mosquitto_message_callback_set(client, [](mosquitto*, void* self, const mosquitto_message* m) {
            static_cast<Subscriber*>(self)->Add(
                {m->topic, std::string(static_cast<const char*>(m->payload), m->payloadlen), m->retain}, false);
        });
        mosquitto_connect_async(client, "127.0.0.1", port, 10);
        mosquitto_loop_start(client);
    }
    ~Subscriber() {
        mosquitto_disconnect(client);
        mosquitto_loop_stop(client, false);
        mosquitto_destroy(client);
    }
    // Waits until `pred` holds over everything received so far; the bound is
    // for a fault, not for speed (sanitizers and qemu are slow).
    bool WaitFor(const std::function<bool(const Log&)>& pred, int ms = 30000) {
        std::unique_lock<std::mutex> l(lock);
        return cv.wait_for(l, std::chrono::milliseconds(ms), [&] { return pred(log); });
    }
    bool WaitSubscribed() {
        std::unique_lock<std::mutex> l(lock);
        return cv.wait_for(l, std::chrono::seconds(5), [&] { return subscribed >= topics.size(); });
    }
    Log Messages() {
        std::lock_guard<std::mutex> l(lock);
        return log;
    }
    std::string Last(const std::string& topic) { return LastIn(Messages(), topic); }

private:
    void Add(Received r, bool ack) {
        std::lock_guard<std::mutex> l(lock);
        ack ? void(++subscribed) : log.push_back(std::move(r));
        cv.notify_all();
    }
    std::vector<std::string> topics;
    mosquitto* client;
    std::mutex lock;
    std::condition_variable cv;
    Log log;
    size_t subscribed = 0;
};

}  // namespace mqtt_test
