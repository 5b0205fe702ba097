#pragma once
// The program's wiring: config, storage, plug-in, output and sinks, the main
// device and its line, the poll loop; and the order they stop in, so queued
// history is committed and every sink has said goodbye before the exit.

#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "monitor/config.h"
#include "monitor/events.h"

#include <signal.h>

class SMDSPDevice;

namespace monitor {

constexpr int kExitConfig = 2;
constexpr int kExitOpen = 3;
constexpr int kExitNoCycle = 4;
constexpr int kExitHistory = 5;

// Ends the program with an exit code and one line on standard error.
struct AppFailure : std::runtime_error {
    AppFailure(int c, const std::string& message) : std::runtime_error(message), code(c) {}
    int code;
};

// The signals that end the program cleanly; blocked in every thread and
// read through a signalfd on the poll thread.
sigset_t StopSignals();

struct AppOptions {
    bool demo = false;
    std::string config, port, db, plugin, capture;
    bool json = false;
    std::optional<uint64_t> cycles;
    std::optional<uint64_t> seconds;
};

class App {
public:
    explicit App(AppOptions options);
    ~App();
    // Runs until done or stopped; returns the exit code or throws AppFailure.
    int Run();

private:
    struct Parts;
    void load_config();
    void open_files();
    void open_output();
    void make_device();
    void open_line();
    void add_handlers();
    void loop();
    int finish();
    void tick();
    void read_port();
    void reopen_port();
    void driver_output();
    void after_driver_call();
    int wait_ms() const;

    AppOptions opts;
    std::unique_ptr<Parts> p;
};

}  // namespace monitor
