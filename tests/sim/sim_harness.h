#pragma once
// End-to-end harness: the real m520s-sim as a child process on a
// pseudo-terminal, and the built plug-in loaded with dlopen and driven the
// way a host drives it (RefreshStatus on a tick, PumpPort between ticks,
// queued alarm work after every call).

#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <json/json.h>

#include "host/pmbus_protocol.h"
#include "plugin/providers.h"
#include "tests/support/recording_controller.h"

namespace sim_test {

using Clock = std::chrono::steady_clock;

inline double seconds_since(Clock::time_point t) {
    return std::chrono::duration<double>(Clock::now() - t).count();
}

// A scratch file that is removed with the object.
class TempFile {
public:
    explicit TempFile(const std::string& content = "", const std::string& suffix = ".json") {
        std::string tmpl = "/tmp/m520s-sim-test-XXXXXX" + suffix;
        std::vector<char> buf(tmpl.begin(), tmpl.end());
        buf.push_back('\0');
        const int fd = mkstemps(buf.data(), static_cast<int>(suffix.size()));
        if (fd < 0) throw std::runtime_error("mkstemps failed");
        close(fd);
        path = buf.data();
        write(content);
    }
    ~TempFile() { unlink(path.c_str()); }
    void write(const std::string& content) const {
        std::ofstream out(path, std::ios::trunc);
        out << content;
    }
    std::string read() const {
        std::ifstream in(path);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }
    std::string path;
};

inline std::string json_text(const Json::Value& v) {
    Json::StreamWriterBuilder w;
    return Json::writeString(w, v);
}

// m520s-sim --pty with the given arguments; standard error goes to a file.
class SimProcess {
public:
    explicit SimProcess(const std::vector<std::string>& args) : err("", ".err") {
        int out[2];
        if (pipe(out) != 0) throw std::runtime_error("pipe failed");
        pid = fork();
        if (pid < 0) throw std::runtime_error("fork failed");
        if (pid == 0) {
            dup2(out[1], 1);
            const int e = open(err.path.c_str(), O_WRONLY | O_TRUNC);
            dup2(e, 2);
            close(out[0]);
            std::vector<std::string> all{M520S_SIM_PATH, "--pty"};
            all.insert(all.end(), args.begin(), args.end());
            std::vector<char*> argv;
            for (auto& a : all) argv.push_back(a.data());
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(out[1]);
        stdout_fd = out[0];
        const std::string first = read_line(5000);
        if (first.rfind("pty: ", 0) != 0) {
            stop();
            throw std::runtime_error("m520s-sim did not report its pty: \"" + first + "\" " + err.read());
        }
        pty = first.substr(5);
    }
    ~SimProcess() {
        stop();
        if (stdout_fd >= 0) close(stdout_fd);
    }

    // SIGTERM and wait; the exit status, or -1 for a crash.
    int stop() {
        if (pid <= 0) return status;
        kill(pid, SIGTERM);
        int st = 0;
        waitpid(pid, &st, 0);
        pid = -1;
        status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
        return status;
    }
    void signal(int sig) const { kill(pid, sig); }

    std::string stderr_text() const { return err.read(); }

    // The counters of the last "stats" line on standard error.
    std::map<std::string, uint64_t> stats() const {
        std::map<std::string, uint64_t> out;
        std::istringstream in(stderr_text());
        std::string line, last;
        while (std::getline(in, line))
            if (line.find("m520s-sim: stats ") == 0) last = line;
        std::istringstream words(last.substr(last.find("stats ") + 6));
        std::string w;
        while (words >> w) {
            const auto eq = w.find('=');
            if (eq != std::string::npos) out[w.substr(0, eq)] = std::stoull(w.substr(eq + 1));
        }
        return out;
    }

    std::string pty;

private:
    std::string read_line(int timeout_ms) {
        std::string line;
        const auto start = Clock::now();
        while (seconds_since(start) * 1000 < timeout_ms) {
            pollfd p{stdout_fd, POLLIN, 0};
            if (poll(&p, 1, 100) <= 0) continue;
            char c;
            if (::read(stdout_fd, &c, 1) != 1) break;
            if (c == '\n') return line;
            line.push_back(c);
        }
        return line;
    }

    TempFile err;
    pid_t pid = -1;
    int status = -1;
    int stdout_fd = -1;
};

class Plugin {
public:
    Plugin() {
        handle = dlopen(M520S_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
        if (!handle) throw std::runtime_error(dlerror());
        fn = reinterpret_cast<get_providers_fn>(dlsym(handle, "get_providers"));
        if (!fn) throw std::runtime_error("no get_providers");
    }
    ~Plugin() { dlclose(handle); }
    void* handle = nullptr;
    get_providers_fn fn = nullptr;
};

// Settings of the main device for a site of the given shape.
inline Json::Value settings_for(int ac, int dc, int timeout_ms = 400, int retries = 2) {
    Json::Value s(Json::objectValue);
    s["timeout_ms"] = timeout_ms;
    s["retries"] = retries;
    s["acSetting"] = Json::Value(Json::arrayValue);
    s["dcSetting"] = Json::Value(Json::arrayValue);
    for (int i = 0; i < ac; ++i) s["acSetting"][i]["data_id"] = 11 + i;
    for (int i = 0; i < dc; ++i) s["dcSetting"][i]["data_id"] = 21 + i;
    s["rcSetting"] = Json::Value(Json::objectValue);
    return s;
}

// The host side: plug-in, main device, recording controller, serial port.
class Host {
public:
    static constexpr uint32_t kMainId = 100;

    Host(const Json::Value& settings, const std::string& port) {
        auto providers = plugin.fn();
        main.reset(static_cast<SMDSPDeviceProvider*>(providers.at(0).get())->create());
        ctl = std::make_shared<testing_support::RecordingController>();
        main->Init(ctl, kMainId);
        if (!main->InitSetting(settings)) throw std::runtime_error("InitSetting refused the settings");
        units = main->GetAllChildVDevices();
        if (!main->OpenPort(port)) throw std::runtime_error("cannot open " + port);
    }
    ~Host() {
        units.clear();
        main.reset();
    }

    const PMBusProtocol::Counters& counters() const {
        return dynamic_cast<const PMBusProtocol&>(*main).counters();
    }

    // Completed cycles so far: every cycle ends with the rectifier group's snapshot.
    size_t cycles() const {
        size_t n = 0;
        for (const auto& s : ctl->snapshots) n += s.type == 5089;
        return n;
    }

    // Polls until `more` further cycles complete or `max_s` pass. Returns the
    // wall time of each completed cycle: from the poll that started it to
    // its completion.
    std::vector<double> run_cycles(size_t more, double max_s, int poll_ms = 50) {
        const size_t target = cycles() + more;
        return run_until([&] { return cycles() >= target; }, max_s, poll_ms);
    }

    // Polls until `done()` holds or `max_s` pass; cycle durations as above.
    template <class Done>
    std::vector<double> run_until(Done done, double max_s, int poll_ms = 50) {
        std::vector<double> durations;
        const auto start = Clock::now();
        auto next_tick = Clock::now();
        Clock::time_point cycle_start{};
        bool started = false;
        auto note_completion = [&](size_t before) {
            if (cycles() == before) return;
            if (started) durations.push_back(seconds_since(cycle_start));
            started = false;
        };
        while (!done() && seconds_since(start) < max_s) {
            const auto now = Clock::now();
            if (now >= next_tick) {
                const size_t before = cycles();
                if (main->RefreshStatus() && !started) {
                    cycle_start = now;
                    started = true;
                }
                ctl->RunQueuedWork();
                next_tick = now + std::chrono::milliseconds(poll_ms);
                note_completion(before);
            }
            const int wait =
                static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(next_tick - Clock::now()).count());
            const size_t before = cycles();
            main->PumpPort(std::max(0, wait));
            ctl->RunQueuedWork();
            note_completion(before);
        }
        return durations;
    }

    // Snapshots of the last completed cycle, in unit order.
    std::vector<testing_support::Snapshot> last_cycle() const {
        const size_t n = units.size();
        if (ctl->snapshots.size() < n) return {};
        return {ctl->snapshots.end() - static_cast<long>(n), ctl->snapshots.end()};
    }

    // The rule with key and detail in the last batch of `unit`.
    const rule_value* rule(size_t unit, const std::string& key, const std::string& detail) const {
        for (auto it = ctl->batches.rbegin(); it != ctl->batches.rend(); ++it) {
            if (it->device != units.at(unit).get()) continue;
            for (const auto& r : it->rules)
                if (r.key == key && r.detail == detail) return &r;
            return nullptr;
        }
        return nullptr;
    }

    // Every rule whose condition or state is active in the last batch of each unit.
    std::vector<std::string> active_rules() const {
        std::vector<std::string> out;
        for (size_t u = 0; u < units.size(); ++u)
            for (auto it = ctl->batches.rbegin(); it != ctl->batches.rend(); ++it) {
                if (it->device != units[u].get()) continue;
                for (const auto& r : it->rules)
                    if (r.state != 0) out.push_back(std::to_string(u) + ":" + r.key + ":" + r.detail);
                break;
            }
        return out;
    }

    Plugin plugin;
    std::unique_ptr<SMDSPDevice> main;
    std::shared_ptr<testing_support::RecordingController> ctl;
    std::vector<std::shared_ptr<SMDVDevice>> units;
};

inline float le_float(const std::vector<unsigned char>& b, size_t at) {
    float f;
    std::memcpy(&f, b.data() + at, 4);
    return f;
}

}  // namespace sim_test
