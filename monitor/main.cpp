// m520s-monitor: polls an M520S controller through the driver plug-in, keeps
// its values, history and alarms in SQLite and shows them live or as JSON
// lines. With no arguments it starts the simulator and runs against it.

#include <dlfcn.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/signalfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>
#include <fmt/format.h>

#include "common/cli_number.h"
#include "host/pmbus_protocol.h"
#include "monitor/capture.h"
#include "monitor/config.h"
#include "monitor/host_controller.h"
#include "monitor/json_lines.h"
#include "monitor/live_view.h"
#include "monitor/mqtt.h"
#include "monitor/store.h"
#include "plugin/providers.h"

#ifndef M520S_VERSION
#define M520S_VERSION "0.1.0"
#endif

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kExitConfig = 2;
constexpr int kExitOpen = 3;
constexpr int kExitNoCycle = 4;

struct Failure {
    int code;
    std::string message;
};

std::string exe_dir() {
    char buf[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return ".";
    std::string p(buf, static_cast<size_t>(n));
    const auto slash = p.rfind('/');
    return slash == std::string::npos ? "." : p.substr(0, slash);
}

bool exists(const std::string& p) { return ::access(p.c_str(), F_OK) == 0; }

std::string find_plugin(const std::string& configured) {
    if (!configured.empty()) return configured;
    std::vector<std::string> tried{exe_dir() + "/libm520s.so"};
#ifdef M520S_PLUGIN_DIR
    tried.push_back(std::string(M520S_PLUGIN_DIR) + "/libm520s.so");
#endif
    for (const auto& p : tried)
        if (exists(p)) return p;
    return tried.front();
}

// Lines from a non-blocking descriptor, split at newlines.
class LineReader {
public:
    explicit LineReader(int fd) : fd(fd) {}
    int Fd() const { return fd; }
    // Reads what is there; returns false at end of file.
    template <class Fn>
    bool Pump(Fn&& on_line) {
        char buf[4096];
        for (;;) {
            const ssize_t n = ::read(fd, buf, sizeof buf);
            if (n == 0) {
                flush(on_line);
                return false;
            }
            if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
            for (ssize_t i = 0; i < n; ++i) {
                if (buf[i] == '\n') {
                    flush(on_line);
                } else if (partial.size() < 4096) {
                    partial += buf[i];
                }
            }
        }
    }

private:
    template <class Fn>
    void flush(Fn&& on_line) {
        if (!partial.empty() && partial.back() == '\r') partial.pop_back();
        if (!partial.empty()) on_line(partial);
        partial.clear();
    }
    int fd;
    std::string partial;
};

void set_nonblocking(int fd) { ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK); }

// The demo's site: the reference site, with alarms that come and go and a
// few seconds of silence, so a first run shows everything the view can.
const char* const kDemoScenario = R"({
  "comment": "m520s-monitor demo: the reference site with a time line",
  "timeline": [
    {"at_cycle": 4, "set": {"rectifier.modules[2].fault_state": 1}},
    {"at_cycle": 8, "set": {"dc[1].v": 47.2, "dc[1].v_state": 1}},
    {"at_cycle": 12, "set": {"dc[1].v": {"mean": 53.5, "swing": 0.05}, "dc[1].v_state": 0}},
    {"at_cycle": 14, "set": {"ac[0].channels[0].a": 181.5, "ac[0].channels[0].a_state": 1}},
    {"at_cycle": 18, "set": {"ac[0].channels[0].a": {"mean": 230.4, "swing": 1.2, "period_s": 90}, "ac[0].channels[0].a_state": 0}},
    {"at_cycle": 20, "set": {"rectifier.modules[2].fault_state": 0}},
    {"at_cycle": 24, "fault": "silence", "for_s": 6},
    {"at_cycle": 30, "set": {"ac[1].ib_alert": 2}}
  ]
})";

// What ends the program cleanly: Ctrl-C, a service stop, and the terminal
// going away (a closed window must not leave the demo's simulator behind).
sigset_t StopSignals() {
    sigset_t s;
    sigemptyset(&s);
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&s, sig);
    return s;
}

// The simulator of the demo, on a pseudo-terminal of its own.
class Simulator {
public:
    explicit Simulator(const std::string& path) {
        // The scenario goes to a file of its own, removed again at the end.
        char name[] = "/tmp/m520s-demo-XXXXXX.json";
        const int sfd = ::mkstemps(name, 5);
        if (sfd < 0) throw Failure{kExitOpen, fmt::format("simulator: no scenario file: {}", std::strerror(errno))};
        scenario = name;
        const std::string text = kDemoScenario;
        const bool written = ::write(sfd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
        ::close(sfd);
        if (!written) throw Failure{kExitOpen, "simulator: cannot write its scenario file"};
        int out[2];
        if (::pipe2(out, O_CLOEXEC) != 0) throw Failure{kExitOpen, "simulator: no pipe"};
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, out[1], 1);
        posix_spawn_file_actions_adddup2(&fa, out[1], 2);
        posix_spawnattr_t attr;
        posix_spawnattr_init(&attr);
        sigset_t none, dflt;
        sigemptyset(&none);
        sigemptyset(&dflt);
        sigaddset(&dflt, SIGPIPE);
        sigaddset(&dflt, SIGINT);
        sigaddset(&dflt, SIGTERM);
        posix_spawnattr_setsigmask(&attr, &none);
        posix_spawnattr_setsigdefault(&attr, &dflt);
        // Its own process group: a Ctrl-C in the terminal reaches the
        // monitor, which then stops the simulator itself.
        posix_spawnattr_setpgroup(&attr, 0);
        posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);
        std::vector<std::string> args{path, "--pty", "--scenario", scenario};
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        const int rc = ::posix_spawn(&pid, path.c_str(), &fa, &attr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&fa);
        posix_spawnattr_destroy(&attr);
        ::close(out[1]);
        if (rc != 0) {
            ::close(out[0]);
            pid = -1;
            throw Failure{kExitOpen, fmt::format("simulator {}: {}", path, std::strerror(rc))};
        }
        reader.emplace(out[0]);
        set_nonblocking(out[0]);

        // The first line names the pseudo-terminal.
        const auto deadline = Clock::now() + std::chrono::seconds(10);
        std::string first;
        bool open = true;
        while (first.empty() && open && Clock::now() < deadline) {
            pollfd p{out[0], POLLIN, 0};
            ::poll(&p, 1, 100);
            open = reader->Pump([&](const std::string& line) {
                if (first.empty())
                    first = line;
                else
                    early.push_back(line);
            });
        }
        if (first.rfind("pty: ", 0) != 0) {
            Stop();
            throw Failure{kExitOpen, fmt::format("simulator {}: expected \"pty: <path>\" as its first line, got {}",
                                                 path, first.empty() ? "nothing" : "\"" + first + "\"")};
        }
        pty = first.substr(5);
    }
    ~Simulator() { Stop(); }

    int Fd() const { return reader ? reader->Fd() : -1; }
    const std::string& Pty() const { return pty; }

    template <class Fn>
    void Pump(Fn&& on_line) {
        for (auto& l : early) on_line(l);
        early.clear();
        if (reader) reader->Pump(on_line);
    }
    // Exit status once it ended by itself.
    std::optional<int> Ended() {
        if (pid <= 0) return std::nullopt;
        int status = 0;
        if (::waitpid(pid, &status, WNOHANG) == pid) {
            pid = -1;
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        return std::nullopt;
    }
    void Stop() {
        if (pid > 0) {
            ::kill(pid, SIGTERM);
            for (int i = 0; i < 50; ++i) {
                if (::waitpid(pid, nullptr, WNOHANG) == pid) {
                    pid = -1;
                    break;
                }
                ::usleep(20000);
            }
            if (pid > 0) {
                ::kill(pid, SIGKILL);
                ::waitpid(pid, nullptr, 0);
                pid = -1;
            }
        }
        if (reader) {
            ::close(reader->Fd());
            reader.reset();
        }
        if (!scenario.empty()) ::unlink(scenario.c_str());
        scenario.clear();
    }

private:
    pid_t pid = -1;
    std::optional<LineReader> reader;
    std::vector<std::string> early;
    std::string pty;
    std::string scenario;
};

struct Options {
    bool demo = false;
    std::string config, port, db, plugin, capture;
    bool json = false;
    std::optional<uint64_t> cycles;
    std::optional<uint64_t> seconds;
};

// The driver writes diagnostics to descriptor 1. The program keeps its own
// output on a duplicate and gives descriptor 1 a pipe that it reads itself.
struct StdoutTrap {
    int own = -1;
    int read_end = -1;

    void Install() {
        std::fflush(stdout);
        std::cout.flush();
        own = ::fcntl(1, F_DUPFD_CLOEXEC, 3);
        int p[2];
        if (own < 0 || ::pipe2(p, O_CLOEXEC) != 0) throw Failure{kExitOpen, "standard output: cannot redirect"};
        // Room for a burst of driver lines between two reads.
        ::fcntl(p[1], F_SETPIPE_SZ, 1 << 20);
        ::dup2(p[1], 1);
        ::close(p[1]);
        read_end = p[0];
        set_nonblocking(read_end);
        // Line by line, so each line arrives when it is written.
        std::setvbuf(stdout, nullptr, _IOLBF, 0);
    }
};

class Monitor {
public:
    Monitor(const Options& o) : opts(o) {}
    int Run();

private:
    void poll_once(int timeout_ms);
    void read_port();
    void driver_output();
    bool reopen_port();

    const Options& opts;
    monitor::Config cfg;
    std::unique_ptr<Simulator> sim;
    std::unique_ptr<monitor::Store> store;
    std::shared_ptr<monitor::HostController> host;
    std::unique_ptr<monitor::Capture> capture;
    std::unique_ptr<monitor::JsonLines> json;
    std::unique_ptr<monitor::LiveView> live;
    std::unique_ptr<monitor::MqttPublisher> mqtt;
    std::vector<std::shared_ptr<Provider>> providers;
    std::unique_ptr<SMDSPDevice> device;
    StdoutTrap trap;
    std::optional<LineReader> driver_lines;
    int signal_fd = -1;
    bool stop = false;
    bool port_open = false;
    Clock::time_point next_reopen{};
    std::optional<int> sim_status;
};

int Monitor::Run() {
    // 1. Config, checked whole before anything is opened.
    const monitor::Overrides over{opts.port, opts.db, opts.plugin};
    if (opts.demo) {
        std::string sim_path = exe_dir() + "/m520s-sim";
        if (const char* env = std::getenv("M520S_SIM"); env && *env) sim_path = env;
        sim = std::make_unique<Simulator>(sim_path);
        cfg = monitor::DemoConfig(sim->Pty(), opts.db.empty() ? "m520s-demo.db" : opts.db);
        if (!opts.plugin.empty()) cfg.plugin = opts.plugin;
    } else {
        try {
            cfg = monitor::LoadConfigFile(opts.config, over);
        } catch (const monitor::ConfigError& e) {
            throw Failure{kExitConfig, e.what()};
        }
    }

    // 2. Database, capture file and plug-in.
    try {
        store = std::make_unique<monitor::Store>(cfg.db);
    } catch (const monitor::StoreError& e) {
        throw Failure{kExitOpen, e.what()};
    }
    if (!opts.capture.empty()) {
        try {
            capture = std::make_unique<monitor::Capture>(opts.capture);
        } catch (const std::exception& e) {
            throw Failure{kExitOpen, e.what()};
        }
    }
    const std::string plugin_path = find_plugin(cfg.plugin);
    void* handle = ::dlopen(plugin_path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) throw Failure{kExitOpen, fmt::format("plug-in {}: {}", plugin_path, ::dlerror())};
    auto get = reinterpret_cast<get_providers_fn>(::dlsym(handle, "get_providers"));
    if (!get) throw Failure{kExitOpen, fmt::format("plug-in {}: no get_providers: {}", plugin_path, ::dlerror())};
    providers = get();
    if (providers.empty() || !providers[0]) throw Failure{kExitOpen, fmt::format("plug-in {}: no factories", plugin_path)};

    // 3. Output: the program's own descriptor; the driver's lines are read back.
    trap.Install();
    driver_lines.emplace(trap.read_end);
    const bool as_json = opts.json || !::isatty(trap.own);
    host = std::make_shared<monitor::HostController>(*store, cfg.device_id);
    if (as_json) {
        json = std::make_unique<monitor::JsonLines>(trap.own);
        host->AddSink(json.get());
    } else {
        live = std::make_unique<monitor::LiveView>(trap.own, *host, cfg.port);
        host->AddSink(live.get());
    }
    // A broker that is down is no reason not to start: the publisher keeps
    // trying. Only settings libmosquitto refuses end the program here.
    if (cfg.mqtt_config) {
        try {
            mqtt = std::make_unique<monitor::MqttPublisher>(*cfg.mqtt_config);
        } catch (const std::exception& e) {
            throw Failure{kExitOpen, e.what()};
        }
        host->AddSink(mqtt.get());
        if (live) live->SetMqtt(mqtt.get());
    }

    // 4. The main device and its children.
    device.reset(static_cast<SMDSPDeviceProvider*>(providers[0].get())->create());
    device->Init(host, cfg.device_id);
    const bool settings_ok = device->InitSetting(cfg.device);
    host->AfterDriverCall();
    driver_output();
    if (!settings_ok)
        throw Failure{kExitConfig,
                      fmt::format("{}: device: expected settings the driver accepts, found them refused{}",
                                  cfg.file.empty() ? "(built-in config)" : cfg.file,
                                  host->LastLog().empty() ? "" : " (" + host->LastLog() + ")")};
    auto* frames = dynamic_cast<PMBusProtocol*>(device.get());
    host->Attach(device.get(), frames, device->GetAllChildVDevices());

    // 5. The serial line.
    errno = 0;
    if (!device->OpenPort(cfg.port))
        throw Failure{kExitOpen, fmt::format("port {}: {}", cfg.port,
                                             errno ? std::strerror(errno) : "cannot be set up as a serial line")};
    port_open = true;
    device->SetLineTap([this](bool tx, const unsigned char* d, size_t n) {
        if (capture) capture->Record(tx, d, n);
        host->OnLine(tx, d, n);
    });

    // 6. Restore, then poll.
    host->Restore();
    driver_output();
    store->Start();

    const sigset_t sigs = StopSignals();
    signal_fd = ::signalfd(-1, &sigs, SFD_NONBLOCK | SFD_CLOEXEC);

    const auto start = Clock::now();
    const auto poll_every = std::chrono::milliseconds(cfg.poll_ms);
    auto next_tick = start;
    while (!stop) {
        auto now = Clock::now();
        if (now >= next_tick) {
            if (!port_open && now >= next_reopen) reopen_port();
            try {
                device->RefreshStatus();
            } catch (const std::exception& e) {
                host->Log(std::string("host: RefreshStatus failed: ") + e.what());
            }
            host->AfterDriverCall();
            driver_output();
            next_tick += poll_every;
            if (next_tick <= now) next_tick = now + poll_every;
        }
        if (opts.cycles && host->CyclesReported() >= *opts.cycles) break;
        if (opts.seconds && now - start >= std::chrono::duration<double>(*opts.seconds)) break;
        if (sim && (sim_status = sim->Ended())) break;
        now = Clock::now();
        auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(next_tick - now).count();
        if (live) wait = std::min<int64_t>(wait, 250);
        if (opts.seconds) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  start + std::chrono::duration<double>(*opts.seconds) - now)
                                  .count();
            wait = std::min<int64_t>(wait, std::max<int64_t>(left, 0));
        }
        poll_once(static_cast<int>(std::max<int64_t>(wait, 0)));
        if (live) live->Tick();
    }

    // Clean stop: everything gathered is committed and reported.
    host->Finish();
    driver_output();
    device->SetLineTap(nullptr);
    device->ClosePort();
    if (live) live->Close();
    if (sim_status) {
        sim.reset();
        throw Failure{kExitOpen, fmt::format("simulator ended with status {}", *sim_status)};
    }
    sim.reset();
    if (opts.seconds && !(opts.cycles && host->CyclesReported() >= *opts.cycles) && host->CyclesReported() == 0 &&
        !stop)
        return kExitNoCycle;
    return 0;
}

void Monitor::poll_once(int timeout_ms) {
    pollfd fds[5];
    int n = 0;
    const int port_fd = port_open ? device->PortFd() : -1;
    fds[n++] = {port_fd, POLLIN, 0};
    fds[n++] = {trap.read_end, POLLIN, 0};
    fds[n++] = {store->NotifyFd(), POLLIN, 0};
    fds[n++] = {signal_fd, POLLIN, 0};
    fds[n++] = {sim ? sim->Fd() : -1, POLLIN, 0};
    if (::poll(fds, static_cast<nfds_t>(n), timeout_ms) < 0) return;
    if (fds[0].revents) read_port();
    if (fds[1].revents) driver_output();
    if (fds[2].revents) host->OnStoreProgress();
    if (fds[3].revents) {
        signalfd_siginfo si;
        while (::read(signal_fd, &si, sizeof si) == static_cast<ssize_t>(sizeof si)) stop = true;
    }
    if (fds[4].revents && sim)
        sim->Pump([this](const std::string& line) { host->Log("m520s-sim: " + line); });
}

void Monitor::read_port() {
    unsigned char buf[4096];
    const ssize_t n = ::read(device->PortFd(), buf, sizeof buf);
    if (n > 0) {
        if (capture) capture->Record(false, buf, static_cast<size_t>(n));
        host->OnLine(false, buf, static_cast<size_t>(n));
        try {
            device->process(buf, static_cast<unsigned>(n));
        } catch (const std::exception& e) {
            host->Log(std::string("host: process failed: ") + e.what());
        }
        host->AfterDriverCall();
        driver_output();
        return;
    }
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
    // The line went away (adapter unplugged, the other end closed): polling
    // goes on, the frame layer gives up and reports the link down, and the
    // port is opened again once it can be.
    host->Log(fmt::format("host: port {}: {}, reopening", cfg.port, n == 0 ? "closed" : std::strerror(errno)));
    device->ClosePort();
    port_open = false;
    next_reopen = Clock::now() + std::chrono::seconds(1);
}

bool Monitor::reopen_port() {
    next_reopen = Clock::now() + std::chrono::seconds(1);
    if (!device->OpenPort(cfg.port)) return false;
    port_open = true;
    host->Log(fmt::format("host: port {} open again", cfg.port));
    return true;
}

void Monitor::driver_output() {
    std::fflush(stdout);
    if (driver_lines) driver_lines->Pump([this](const std::string& line) { host->DriverOutput(line); });
}

}  // namespace

int main(int argc, char** argv) {
    // Signals arrive through a signalfd on the poll thread; a reader that
    // closes our output is noticed by write() instead of killing us.
    const sigset_t sigs = StopSignals();
    ::pthread_sigmask(SIG_BLOCK, &sigs, nullptr);
    ::signal(SIGPIPE, SIG_IGN);

    Options opts;
    CLI::App app{"m520s-monitor: polls an M520S power controller, stores its values and alarms in SQLite and shows "
                 "them.\nWithout --config or --port: a demo against the simulator m520s-sim on a pseudo-terminal."};
    app.set_version_flag("--version", "m520s-monitor " M520S_VERSION);
    app.add_option("--config", opts.config, "config file (JSON)");
    app.add_option("--port", opts.port, "serial line, overrides the config's \"port\"");
    app.add_option("--db", opts.db, "SQLite database, overrides the config's \"db\"");
    app.add_option("--plugin", opts.plugin, "driver plug-in, overrides the config's \"plugin\"");
    app.add_flag("--json", opts.json, "JSON lines on standard output instead of the live view");
    // Whole numbers only. A year of seconds at most: --seconds bounds a trial
    // run, a service runs without it.
    app.add_option("--cycles", opts.cycles, "exit 0 after N completed polling cycles")
        ->check(m520s::cli::WholeNumber(1, 1000000000));
    app.add_option("--seconds", opts.seconds, "exit after S seconds (4 if no cycle completed)")
        ->check(m520s::cli::WholeNumber(1, 31536000));
    app.add_option("--capture", opts.capture, "append every byte sent and received to FILE");
    app.footer("Exit codes: 0 done, 2 bad command line or config, 3 plug-in/port/database cannot be opened,\n"
               "4 no cycle completed within --seconds.");
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        std::cerr << "m520s-monitor: " << e.what() << " (see --help)\n";
        return kExitConfig;
    }
    // Without a config or a port it is the demo; the other options apply to it.
    opts.demo = opts.config.empty() && opts.port.empty();
    if (!opts.demo && opts.config.empty()) {
        std::cerr << "m520s-monitor: --config FILE is required with --port\n";
        return kExitConfig;
    }
    try {
        Monitor m(opts);
        return m.Run();
    } catch (const Failure& f) {
        std::cerr << "m520s-monitor: " << f.message << "\n";
        return f.code;
    } catch (const std::exception& e) {
        std::cerr << "m520s-monitor: " << e.what() << "\n";
        return kExitOpen;
    }
}
