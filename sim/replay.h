#pragma once
// Answers from a wire capture: each line "<seconds> tx|rx <hex>", tx being
// what the host sent. A request is answered with the rx bytes that followed
// the same request in the capture, with their original spacing; the capture
// is walked in order and starts over at its end, so a recorded session can
// be played to a host for as long as it polls.

#include <string>
#include <vector>

#include "sim/encoder.h"
#include "sim/faults.h"

namespace sim {

class Replay {
public:
    // Throws std::runtime_error "<file>:<line>: ..." for a line it cannot read.
    static Replay load_file(const std::string& path);
    static Replay parse(const std::string& text, const std::string& source);

    // Chunks answering the request frame `raw` (SOI to EOI), from `now`; none
    // when the capture holds no such request.
    std::vector<Chunk> answer(const Bytes& raw, double now);

    size_t exchanges() const { return recorded.size(); }

private:
    struct Exchange {
        Bytes request;
        std::vector<Chunk> answer;  // times relative to the request
    };
    std::vector<Exchange> recorded;
    size_t cursor = 0;
};

}  // namespace sim
