#include "sim/replay.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <fmt/format.h>

namespace sim {

Replay Replay::load_file(const std::string& path) {
    std::ifstream in(path);
    if (!in) throw std::runtime_error(fmt::format("{}: cannot open: {}", path, std::strerror(errno)));
    std::stringstream ss;
    ss << in.rdbuf();
    return parse(ss.str(), path);
}

Replay Replay::parse(const std::string& text, const std::string& source) {
    Replay r;
    std::istringstream in(text);
    std::string line;
    size_t number = 0;
    Bytes tx;            // host bytes not yet cut into frames
    double tx_time = 0;  // time of the request the rx bytes answer
    bool answering = false;  // an rx line belongs to the last request
    double last_time = -1;
    while (std::getline(in, line)) {
        ++number;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || line[0] == '#') continue;
        std::istringstream f(line);
        std::string time_text, dir, hex, extra;
        f >> time_text >> dir >> hex >> extra;
        auto bad = [&](const std::string& why) {
            return std::runtime_error(fmt::format("{}:{}: {}", source, number, why));
        };
        if (hex.empty() || !extra.empty()) throw bad("expected \"<seconds> tx|rx <hex bytes>\"");
        double t = 0;
        try {
            size_t used = 0;
            t = std::stod(time_text, &used);
            if (used != time_text.size() || t < 0) throw std::invalid_argument("time");
        } catch (const std::exception&) {
            throw bad(fmt::format("expected a time in seconds, found \"{}\"", time_text));
        }
        if (t < last_time) throw bad("times go backwards");
        last_time = t;
        auto bytes = from_hex(hex);
        if (!bytes) throw bad(fmt::format("expected hex bytes, found \"{}\"", hex));
        if (dir == "tx") {
            // Requests end at EOI; a chunk may hold part of one or several.
            for (uint8_t b : *bytes) {
                if (b == kSoi) tx.clear();
                tx.push_back(b);
                if (b == kEoi && tx.front() == kSoi) {
                    r.recorded.push_back({tx, {}});
                    answering = true;
                    tx_time = t;
                    tx.clear();
                }
            }
        } else if (dir == "rx") {
            if (answering) r.recorded.back().answer.push_back({t - tx_time, *bytes});
        } else {
            throw bad(fmt::format("expected \"tx\" or \"rx\", found \"{}\"", dir));
        }
    }
    if (r.recorded.empty()) throw std::runtime_error(fmt::format("{}: no request in the capture", source));
    return r;
}

std::vector<Chunk> Replay::answer(const Bytes& raw, double now) {
    for (size_t k = 0; k < recorded.size(); ++k) {
        const size_t i = (cursor + k) % recorded.size();
        if (recorded[i].request != raw) continue;
        cursor = (i + 1) % recorded.size();
        std::vector<Chunk> out;
        for (const auto& c : recorded[i].answer) out.push_back({now + c.at, c.bytes});
        return out;
    }
    return {};
}

}  // namespace sim
