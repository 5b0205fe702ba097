#pragma once
// Fault injection: which faults spoil an answer (drawn per answer from the
// scenario's probabilities, or scheduled by its time line) and how a spoiled
// answer goes onto the line. Draws come from a seeded generator, the same
// number of draws for every answer, so a seed repeats a run exactly.

#include <bitset>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <random>
#include <vector>

#include "sim/encoder.h"
#include "sim/scenario.h"

namespace sim {

using FaultSet = std::bitset<kFaultKinds>;

// Bytes to write at a time (seconds since the simulator started).
struct Chunk {
    double at = 0;
    Bytes bytes;
};

class FaultPlan {
public:
    explicit FaultPlan(uint64_t seed);

    void set_probabilities(const std::map<Fault, double>& p);
    // The faults in turn, each on `answers` consecutive answers after skipping
    // `skip`; or, with `until`, all of them on every answer until then.
    void schedule(const std::vector<Fault>& faults, uint64_t skip, uint64_t answers, std::optional<double> until);
    void clear_schedule();

    // The faults for the next answer.
    FaultSet draw(double now);
    // For the details of a fault (stray bytes, split points); a stream of its
    // own so that those details never shift the per-answer draws.
    uint32_t detail();

private:
    struct Scheduled {
        Fault fault;
        uint64_t skip;
        uint64_t left;  // answers, when counted
        std::optional<double> until;
    };
    std::array<double, kFaultKinds> probability{};
    std::deque<Scheduled> scheduled;
    std::mt19937_64 draws, details;
};

struct Answer {
    uint8_t ver = 0x20, adr = 1, cid1 = 0, rtn = 0;
    Bytes info;
    std::optional<size_t> count_at;  // the unit count byte in INFO, if any
};

// The writes of one answer under `faults`, from `now` on. Faults that cannot
// apply to this answer (a count mismatch where there is no count, say) are
// cleared from `faults`, so what is left is what happened.
std::vector<Chunk> shape(const Answer& answer, FaultSet& faults, const FaultOptions& options, FaultPlan& plan,
                         double now);

}  // namespace sim
