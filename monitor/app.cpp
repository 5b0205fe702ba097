#include "monitor/app.h"

#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include <fmt/format.h>

#include "host/pmbus_protocol.h"
#include "monitor/capture.h"
#include "monitor/clock_text.h"
#include "monitor/controller.h"
#include "monitor/demo.h"
#include "monitor/event_hub.h"
#include "monitor/plugin_loader.h"
#include "monitor/poll_loop.h"
#include "monitor/service_notify.h"
#include "monitor/site_state.h"
#include "monitor/sinks/journal.h"
#include "monitor/sinks/registry.h"
#include "monitor/stdout_trap.h"
#include "monitor/store.h"

namespace monitor {

using Clock = std::chrono::steady_clock;

sigset_t StopSignals() {
    // Ctrl-C, a service stop, and the terminal going away (a closed window
    // must not leave the demo's simulator behind).
    sigset_t s;
    sigemptyset(&s);
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&s, sig);
    return s;
}

struct App::Parts {
    Config cfg;
    const model::Model* model = nullptr;
    std::unique_ptr<DemoSimulator> sim;
    std::unique_ptr<Store> store;
    std::unique_ptr<Capture> capture;
    std::unique_ptr<Plugin> plugin;
    StdoutTrap trap;
    std::unique_ptr<SiteState> site;
    std::vector<std::unique_ptr<Sink>> sinks;
    std::shared_ptr<Controller> host;
    std::unique_ptr<SMDSPDevice> device;
    PMBusProtocol* frames = nullptr;
    PollLoop loop;
    int signal_fd = -1;
    bool stop = false;
    bool port_open = false;
    Clock::time_point start, next_tick, next_reopen;
    std::optional<int> sim_status;
    std::unique_ptr<EventHub> hub;
    int sink_wait = -1;  // the shortest wait the sinks asked for at their last turn
    ServiceNotify service;
    bool flushed = false;

    ~Parts() {
        if (signal_fd >= 0) ::close(signal_fd);
    }
};

App::App(AppOptions o) : opts(std::move(o)), p(std::make_unique<Parts>()) {}

App::~App() {
    // The device goes before the controller it reports to, the sinks last.
    if (p->device) {
        p->device->SetLineTap(nullptr);
        if (p->frames) p->frames->SetObserver(nullptr);
    }
    p->device.reset();
}

int App::Run() {
    load_config();
    open_files();
    open_output();
    make_device();
    open_line();
    add_handlers();
    loop();
    return finish();
}

// 1. The config, checked whole before anything is opened.
void App::load_config() {
    const Overrides over{opts.port, opts.db, opts.plugin};
    if (opts.demo) {
        try {
            p->sim = std::make_unique<DemoSimulator>(DemoSimulator::DefaultPath());
        } catch (const DemoError& e) {
            throw AppFailure(kExitOpen, e.what());
        }
        p->cfg = DemoConfig(p->sim->Pty(), opts.db.empty() ? "m520s-demo.db" : opts.db);
        if (!opts.plugin.empty()) p->cfg.plugin = opts.plugin;
    } else {
        try {
            p->cfg = LoadConfigFile(opts.config, over);
        } catch (const ConfigError& e) {
            throw AppFailure(kExitConfig, e.what());
        }
    }
    p->model = model::FindModel(p->cfg.model);
    if (!p->model) throw AppFailure(kExitConfig, fmt::format("model {}: not known to this program", p->cfg.model));
}

// 2. Database, capture file and plug-in: each refused with its reason.
void App::open_files() {
    try {
        StoreOptions so;
        so.model = p->model;
        so.retention = p->cfg.history;
        so.commit_window_ms = int64_t{p->cfg.history.commit_s} * 1000;
        // No window, no grouping: each cycle is committed at once.
        if (so.commit_window_ms == 0) so.commit_bytes = 0;
        p->store = std::make_unique<Store>(p->cfg.db, so);
    } catch (const StoreError& e) {
        throw AppFailure(kExitOpen, e.what());
    }
    if (!opts.capture.empty()) {
        try {
            p->capture = std::make_unique<Capture>(opts.capture);
        } catch (const std::exception& e) {
            throw AppFailure(kExitOpen, e.what());
        }
    }
    try {
        p->plugin = std::make_unique<Plugin>(p->cfg.plugin);
    } catch (const PluginError& e) {
        throw AppFailure(kExitOpen, e.what());
    }
}

// 3. Output: the program's own descriptor; the driver's lines are read back.
void App::open_output() {
    try {
        p->trap.Install();
    } catch (const std::exception& e) {
        throw AppFailure(kExitOpen, e.what());
    }
    p->site = std::make_unique<SiteState>(*p->model);
    p->site->Edit().port = p->cfg.port;
    p->hub = std::make_unique<EventHub>(*p->site);
    // Under systemd the journal gets a quiet log; --json still prints everything.
    const bool journal = !opts.json && IsJournalStream(p->trap.Own());
    const bool json = opts.json || (!journal && !::isatty(p->trap.Own()));
    const SinkContext ctx{p->cfg,     *p->model, p->trap.Own(), json, journal, p->cfg.port, opts.demo,
                          [this](Event::Body b) { p->hub->Emit(std::move(b)); }};
    for (const auto& entry : SinkRegistry()) {
        try {
            if (auto s = entry.make(ctx)) p->sinks.push_back(std::move(s));
        } catch (const std::exception& e) {
            // Only settings a library refuses end the program here.
            throw AppFailure(kExitOpen, e.what());
        }
    }
    for (auto& s : p->sinks) p->hub->Add(s.get());
    p->host = std::make_shared<Controller>(*p->store, *p->site, p->cfg.device_id,
                                           [this](Event::Body b) { p->hub->Emit(std::move(b)); });
}

// 4. The main device and its children.
void App::make_device() {
    try {
        p->device = p->plugin->CreateMain(*p->model);
    } catch (const PluginError& e) {
        throw AppFailure(kExitOpen, e.what());
    }
    p->device->Init(p->host, p->cfg.device_id);
    const bool settings_ok = p->device->InitSetting(p->cfg.device);
    after_driver_call();
    if (!settings_ok)
        throw AppFailure(kExitConfig,
                         fmt::format("{}: device: expected settings the driver accepts, found them refused{}",
                                     p->cfg.file.empty() ? "(built-in config)" : p->cfg.file,
                                     p->host->LastLog().empty() ? "" : " (" + p->host->LastLog() + ")"));
    p->frames = dynamic_cast<PMBusProtocol*>(p->device.get());
    if (p->frames) {
        p->frames->SetObserver(&p->host->Link());
        p->host->Link().Attach(p->frames);
    }
    p->host->Attach(p->device->GetAllChildVDevices());
}

// 5. The serial line, then the children restored.
void App::open_line() {
    errno = 0;
    if (!p->device->OpenPort(p->cfg.port))
        throw AppFailure(kExitOpen, fmt::format("port {}: {}", p->cfg.port,
                                                errno ? std::strerror(errno) : "cannot be set up as a serial line"));
    p->port_open = true;
    if (p->capture)
        p->device->SetLineTap([this](bool tx, const unsigned char* d, size_t n) { p->capture->Record(tx, d, n); });
    p->host->Restore();
    driver_output();
    p->store->Start();
    const sigset_t sigs = StopSignals();
    p->signal_fd = ::signalfd(-1, &sigs, SFD_NONBLOCK | SFD_CLOEXEC);
}

void App::add_handlers() {
    auto& loop = p->loop;
    loop.Add({"serial", [this] { return p->port_open ? p->device->PortFd() : -1; }, [this] { read_port(); }});
    loop.Add({"driver output", [this] { return p->trap.ReadFd(); }, [this] { driver_output(); }});
    loop.Add({"store progress", [this] { return p->store->NotifyFd(); }, [this] { p->host->OnStoreProgress(); }});
    loop.Add({"signals", [this] { return p->signal_fd; },
              [this] {
                  signalfd_siginfo si;
                  while (::read(p->signal_fd, &si, sizeof si) == static_cast<ssize_t>(sizeof si)) p->stop = true;
              }});
    if (p->sim)
        loop.Add({"simulator", [this] { return p->sim->Fd(); },
                  [this] {
                      p->sim->Pump([this](const std::string& line) { p->host->HostLog(Level::Info, "m520s-sim: " + line); });
                  }});
    for (auto& s : p->sinks) {
        Sink* sink = s.get();
        loop.Add({sink->Name(), [sink] { return sink->Fd(); }, [sink] { sink->OnReadable(); }});
    }
}

void App::loop() {
    p->start = p->next_tick = Clock::now();
    const auto poll_every = std::chrono::milliseconds(p->cfg.poll_ms);
    p->service.Ready();
    while (!p->stop) {
        auto now = Clock::now();
        p->service.Alive(now);
        if (now >= p->next_tick) {
            tick();
            p->next_tick += poll_every;
            if (p->next_tick <= now) p->next_tick = now + poll_every;
        }
        if (opts.cycles && p->host->CyclesReported() >= *opts.cycles) break;
        // The last cycle asked for need not wait for others to share its commit.
        if (opts.cycles && p->host->CyclesSealed() >= *opts.cycles && !p->flushed) {
            p->host->FlushStorage();
            p->flushed = true;
        }
        if (opts.seconds && now - p->start >= std::chrono::duration<double>(*opts.seconds)) break;
        if (p->sim && (p->sim_status = p->sim->Ended())) break;
        p->loop.Turn(wait_ms());
        p->hub->Publish();
        p->sink_wait = p->hub->Tick(Clock::now());
    }
}

int App::wait_ms() const {
    const auto now = Clock::now();
    int64_t wait = std::chrono::duration_cast<std::chrono::milliseconds>(p->next_tick - now).count();
    if (p->sink_wait >= 0) wait = std::min<int64_t>(wait, p->sink_wait);
    if (const int hint = p->service.WaitHintMs(); hint >= 0) wait = std::min<int64_t>(wait, hint);
    if (opts.seconds) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(
                p->start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(*opts.seconds)) - now)
                .count();
        wait = std::min<int64_t>(wait, left);
    }
    return static_cast<int>(std::max<int64_t>(wait, 0));
}

void App::tick() {
    if (!p->port_open && Clock::now() >= p->next_reopen) reopen_port();
    try {
        p->device->RefreshStatus();
    } catch (const std::exception& e) {
        p->host->HostLog(Level::Error, std::string("host: RefreshStatus failed: ") + e.what());
    }
    after_driver_call();
}

void App::after_driver_call() {
    p->host->AfterDriverCall();
    driver_output();
}

void App::read_port() {
    unsigned char buf[4096];
    const ssize_t n = ::read(p->device->PortFd(), buf, sizeof buf);
    if (n > 0) {
        if (p->capture) p->capture->Record(false, buf, static_cast<size_t>(n));
        try {
            p->device->process(buf, static_cast<unsigned>(n));
        } catch (const std::exception& e) {
            p->host->HostLog(Level::Error, std::string("host: process failed: ") + e.what());
        }
        after_driver_call();
        return;
    }
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
    // The line went away (adapter unplugged, the other end closed): polling
    // goes on, the frame layer gives up and reports the link down, and the
    // port is opened again once it can be.
    p->host->HostLog(Level::Warning,
                     fmt::format("host: port {}: {}, reopening", p->cfg.port, n == 0 ? "closed" : std::strerror(errno)));
    p->device->ClosePort();
    p->port_open = false;
    p->next_reopen = Clock::now() + std::chrono::seconds(1);
}

void App::reopen_port() {
    p->next_reopen = Clock::now() + std::chrono::seconds(1);
    if (!p->device->OpenPort(p->cfg.port)) return;
    p->port_open = true;
    p->host->HostLog(Level::Info, fmt::format("host: port {} open again", p->cfg.port));
}

void App::driver_output() {
    p->trap.Pump([this](const std::string& line) { p->host->DriverOutput(line); });
}

// Clean stop: everything gathered is committed and reported, then the line
// closes and the sinks say goodbye.
int App::finish() {
    p->service.Stopping();
    p->host->Finish();
    driver_output();
    p->hub->Publish();
    p->hub->Tick(Clock::now());
    p->device->SetLineTap(nullptr);
    p->device->ClosePort();
    p->hub->Stop();
    if (p->sim_status) {
        p->sim.reset();
        throw AppFailure(kExitOpen, fmt::format("simulator ended with status {}", *p->sim_status));
    }
    p->sim.reset();
    const Unwritten lost = p->store->Lost();
    if (lost.cycles || lost.alarm_changes)
        throw AppFailure(kExitHistory, fmt::format("database {}: {} cycles and {} alarm events could not be written ({}); "
                                                   "{} cycles had been dropped before",
                                                   p->cfg.db, lost.cycles, lost.alarm_changes, lost.reason,
                                                   p->store->Status().dropped));
    if (opts.seconds && !p->stop && p->host->CyclesReported() == 0) return kExitNoCycle;
    return 0;
}

}  // namespace monitor
