#pragma once
// The simulator's loop: reads the line, answers requests from the scenario
// (or the capture being replayed), writes on time, re-reads the scenario on
// SIGHUP, reports its counters every --stats seconds and once at the end,
// and stops cleanly on SIGINT or SIGTERM.

#include <memory>
#include <optional>
#include <ostream>
#include <string>

#include "sim/encoder.h"
#include "sim/line.h"
#include "sim/replay.h"
#include "sim/simulator.h"

namespace sim {

struct ServerOptions {
    std::optional<std::string> scenario_file;  // re-read on SIGHUP
    double stats_every_s = 0;                  // 0: only at the end
    bool verbose = false;                      // every request and answer on standard error
};

class Server {
public:
    Server(Line line, Simulator simulator, std::optional<Replay> replay, ServerOptions options);
    // Serves until SIGINT or SIGTERM (0) or a failing line (3).
    int run();

private:
    void handle_bytes(const uint8_t* data, size_t n, double now);
    void reload(double now);
    double now() const;

    Line line;
    Simulator sim;
    std::optional<Replay> replay;
    ServerOptions opt;
    RequestDecoder decoder;
    double started = 0;
};

}  // namespace sim
