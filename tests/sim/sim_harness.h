#pragma once
// End-to-end harness: the real m520s-sim as a child process on a
// pseudo-terminal, and the built plug-in loaded with dlopen and driven as a
// host drives it (RefreshStatus on a tick, PumpPort between ticks, queued
// alarm work after every call).

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

#include "host/pmbus_protocol.h"
#include "plugin/providers.h"
#include "tests/support/recording_controller.h"

namespace sim_test {

using Clock = std::chrono::steady_clock;
inline double seconds_since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

// A scratch file, removed with the object.
struct TempFile {
    explicit TempFile(const std::string& content = "", const std::string& suffix = ".json") {
        std::string name = "/tmp/m520s-sim-test-XXXXXX" + suffix;
        const int fd = mkstemps(name.data(), static_cast<int>(suffix.size()));
        if (fd < 0) throw std::runtime_error("mkstemps failed");
        close(fd);
        path = name;
        write(content);
    }
    ~TempFile() { unlink(path.c_str()); }
    void write(const std::string& content) const { std::ofstream(path, std::ios::trunc) << content; }
    std::string read() const {
        std::stringstream ss;
        ss << std::ifstream(path).rdbuf();
        return ss.str();
    }
    std::string path;
};

// The counters of the last "stats" line in a text.
inline std::map<std::string, uint64_t> stats_of(const std::string& text) {
    std::map<std::string, uint64_t> out;
    const auto at = text.rfind("m520s-sim: stats ");
    if (at == std::string::npos) return out;
    std::istringstream words(text.substr(at + 17, text.find('\n', at) - at - 17));
    for (std::string w; words >> w;)
        if (const auto eq = w.find('='); eq != std::string::npos) out[w.substr(0, eq)] = std::stoull(w.substr(eq + 1));
    return out;
}

// m520s-sim --pty with the given arguments; standard error goes to a file.
class SimProcess {
public:
    explicit SimProcess(const std::vector<std::string>& args) {
        // All the child needs is made before fork: tests start simulators
        // from several threads, and such a child may only exec.
        std::vector<std::string> all{M520S_SIM_PATH, "--pty"};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (auto& a : all) argv.push_back(a.data());
        argv.push_back(nullptr);
        const char* err_path = err.path.c_str();
        int out[2];
        if (pipe(out) != 0 || (pid = fork()) < 0) throw std::runtime_error("cannot start m520s-sim");
        if (pid == 0) {
            dup2(out[1], 1);
            dup2(open(err_path, O_WRONLY | O_TRUNC), 2);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(out[1]);
        // The first line is "pty: <path>"; a simulator that fails ends its output.
        char first[256] = {};
        FILE* f = fdopen(out[0], "r");
        if (!fgets(first, sizeof first, f)) first[0] = '\0';
        fclose(f);
        const std::string line(first, strcspn(first, "\n"));
        if (line.rfind("pty: ", 0) != 0) {
            stop();
            throw std::runtime_error("m520s-sim did not report its pty: \"" + line + "\" " + err.read());
        }
        pty = line.substr(5);
    }
    ~SimProcess() { stop(); }

    // SIGTERM and wait; the exit status, or -1 for a crash.
    int stop() {
        if (pid > 0) {
            kill(pid, SIGTERM);
            int st = 0;
            waitpid(pid, &st, 0);
            pid = -1;
            status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
        }
        return status;
    }
    void signal(int sig) const {
        if (pid > 0) kill(pid, sig);
    }
    std::string stderr_text() const { return err.read(); }
    std::map<std::string, uint64_t> stats() const { return stats_of(stderr_text()); }

    std::string pty;

private:
    TempFile err{"", ".err"};
    pid_t pid = -1;
    int status = -1;
};

// m520s-sim run to its end: exit status, standard output and standard error.
struct RunResult {
    int status = -1;
    std::string out, err;
};
inline RunResult run_sim(const std::vector<std::string>& args) {
    TempFile out("", ".out"), err("", ".err");
    std::string cmd = M520S_SIM_PATH;
    for (const auto& a : args) cmd += " '" + a + "'";
    const int st = std::system((cmd + " >" + out.path + " 2>" + err.path + " </dev/null").c_str());
    return {WIFEXITED(st) ? WEXITSTATUS(st) : -1, out.read(), err.read()};
}

// Settings of the main device for a site of the given shape.
inline Json::Value settings_for(int ac, int dc, int timeout_ms = 400) {
    Json::Value s(Json::objectValue);
    s["timeout_ms"] = timeout_ms;
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
    Host(const Json::Value& settings, const std::string& port) {
        handle = dlopen(M520S_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
        if (!handle) throw std::runtime_error(dlerror());
        auto providers = reinterpret_cast<get_providers_fn>(dlsym(handle, "get_providers"))();
        main.reset(static_cast<SMDSPDeviceProvider*>(providers.at(0).get())->create());
        main->Init(ctl, 100);
        if (!main->InitSetting(settings)) throw std::runtime_error("InitSetting refused the settings");
        units = main->GetAllChildVDevices();
        if (!main->OpenPort(port)) throw std::runtime_error("cannot open " + port);
    }
    ~Host() {
        units.clear();
        main.reset();
        dlclose(handle);
    }

    const PMBusProtocol::Counters& counters() const { return dynamic_cast<const PMBusProtocol&>(*main).counters(); }

    // Completed cycles: every cycle ends with the rectifier group's snapshot.
    size_t cycles() const {
        size_t n = 0;
        for (const auto& s : ctl->snapshots) n += s.type == 5089;
        return n;
    }

    std::vector<double> run_cycles(size_t more, double max_s, int poll_ms = 50) {  // as run_until
        const size_t target = cycles() + more;
        return run_until([&] { return cycles() >= target; }, max_s, poll_ms);
    }

    // Polls until `done()` holds or `max_s` pass. Returns the wall time of
    // each cycle completed: from the poll that started it to its completion.
    template <class Done>
    std::vector<double> run_until(Done done, double max_s, int poll_ms = 50) {
        std::vector<double> durations;
        const auto start = Clock::now();
        auto next_tick = start;
        Clock::time_point cycle_start{};
        bool started = false;
        while (!done() && seconds_since(start) < max_s) {
            const size_t before = cycles();
            if (Clock::now() >= next_tick) {
                if (main->RefreshStatus() && !started) {
                    cycle_start = Clock::now();
                    started = true;
                }
                next_tick = Clock::now() + std::chrono::milliseconds(poll_ms);
            } else {
                main->PumpPort(static_cast<int>(
                    std::chrono::duration_cast<std::chrono::milliseconds>(next_tick - Clock::now()).count()));
            }
            ctl->RunQueuedWork();
            if (cycles() != before && started) {
                durations.push_back(seconds_since(cycle_start));
                started = false;
            }
        }
        return durations;
    }

    // Snapshots of the last completed cycle, in unit order.
    std::vector<testing_support::Snapshot> last_cycle() const {
        if (ctl->snapshots.size() < units.size()) return {};
        return {ctl->snapshots.end() - static_cast<long>(units.size()), ctl->snapshots.end()};
    }

    // Rules of the last batch of a unit: one with key and detail, or all active ones.
    const rule_value* rule(size_t unit, const std::string& key, const std::string& detail) const {
        for (const auto& r : last_batch(unit))
            if (r.key == key && r.detail == detail) return &r;
        return nullptr;
    }
    std::vector<std::string> active_rules() const {
        std::vector<std::string> out;
        for (size_t u = 0; u < units.size(); ++u)
            for (const auto& r : last_batch(u))
                if (r.state != 0) out.push_back(r.key + " " + r.detail);
        return out;
    }

    void* handle = nullptr;
    std::unique_ptr<SMDSPDevice> main;
    std::shared_ptr<testing_support::RecordingController> ctl = std::make_shared<testing_support::RecordingController>();
    std::vector<std::shared_ptr<SMDVDevice>> units;

private:
    const std::vector<rule_value>& last_batch(size_t unit) const {
        static const std::vector<rule_value> none;
        for (auto it = ctl->batches.rbegin(); it != ctl->batches.rend(); ++it)
            if (it->device == units.at(unit).get()) return it->rules;
        return none;
    }
};

inline float le_float(const std::vector<unsigned char>& b, size_t at) {
    float f;
    std::memcpy(&f, b.data() + at, 4);
    return f;
}

}  // namespace sim_test
