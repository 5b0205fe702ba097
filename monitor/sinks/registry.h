#pragma once
// Every way the program can show the site, in one list: a sink's name, the
// config section it reads and the factory that makes it for a run. Adding a
// sink is its own files and one line in registry.cpp.

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "monitor/config.h"
#include "monitor/models/model.h"
#include "monitor/sinks/sink.h"

namespace monitor {

// What a factory may know of the run.
struct SinkContext {
    const Config& config;
    const model::Model& model;
    int out_fd;  // the program's own standard output
    bool json;   // JSON lines asked for, or the output is no terminal
    std::string port;
    bool demo = false;  // the built-in demo config against the simulator
    // Hands an event to every sink; poll thread only, from Tick() on.
    std::function<void(Event::Body)> emit;
};

struct SinkEntry {
    const char* name;
    std::optional<SectionCheck> section;  // the config section it reads, checked with the rest
    // The sink for this run, or nullptr when the config and the command line
    // do not ask for it. Throws std::runtime_error when it cannot be made.
    std::function<std::unique_ptr<Sink>(const SinkContext&)> make;
};

const std::vector<SinkEntry>& SinkRegistry();

}  // namespace monitor
