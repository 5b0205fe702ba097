#pragma once
// The simulated controller: answers each request from the scenario's site,
// counts polling cycles as the host runs them, carries out the time line and
// spoils answers as the fault plan says. No I/O: requests and the clock come
// in, timed chunks of bytes go out.

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "sim/encoder.h"
#include "sim/faults.h"
#include "sim/scenario.h"

namespace sim {

struct Stats {
    uint64_t requests = 0;         // well-formed request frames
    uint64_t bad_requests = 0;     // refused frames (answered with an error RTN)
    uint64_t other_address = 0;    // frames for another controller, not answered
    uint64_t unknown_commands = 0; // answered with RTN 0x04
    uint64_t answers = 0;          // answers put on the line
    uint64_t cycles = 0;           // polling cycles begun
    uint64_t restarts = 0;
    uint64_t restart_silent = 0;   // requests left unanswered while restarting
    uint64_t replayed = 0, replay_misses = 0;
    uint64_t bytes_in = 0, bytes_out = 0;
    std::array<uint64_t, kFaultKinds> faults{};

    // One line of name=value pairs, every counter, in a fixed order.
    std::string line() const;
};

class Simulator {
public:
    Simulator(Scenario scenario, uint64_t seed);

    std::vector<Chunk> on_request(const Request& request, double now);
    std::vector<Chunk> on_bad_request(const BadRequest& bad, double now);
    // A re-read scenario: its site with every change already due applied;
    // counts, cycle numbers and the clock go on.
    void replace(Scenario scenario, double now);

    const Scenario& scenario() const { return sc; }
    Stats& stats() { return counts; }
    uint64_t cycle() const { return counts.cycles; }

private:
    bool opens_cycle(uint16_t cmd) const;
    void run_due_events(double now, bool cycle_started);
    void run_event(const TimelineEvent& e, size_t index, double now);
    uint8_t flag_for(uint8_t cid1, double now);

    Scenario sc;
    FaultPlan plan;
    Stats counts;
    std::vector<bool> done;  // per time line event
    double restart_until = -1;
    uint16_t last_cmd = 0;
    bool last_spoiled = false;
    bool any_request = false;
    // What the switch and alarm answers last carried, for the automatic data flags.
    std::map<uint16_t, Bytes> last_sent;
};

}  // namespace sim
