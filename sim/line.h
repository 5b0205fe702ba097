#pragma once
// The simulator's end of the serial line: a pseudo-terminal it creates, or an
// existing serial device. Writes are queued with a time and, with a baud rate
// set, paced at 10 bits a byte, counting the host's requests as line time too
// (the controller cannot answer before a request has fully arrived).

#include <cstdint>
#include <deque>
#include <string>

#include "sim/encoder.h"

namespace sim {

class Line {
public:
    // Throw std::runtime_error naming what failed and why.
    static Line open_pty();
    static Line open_port(const std::string& path, int baud);

    Line(Line&& other) noexcept;
    Line& operator=(Line&&) = delete;
    ~Line();

    int fd() const { return master; }
    const std::string& path() const { return name; }
    // 0: write as fast as the line takes it.
    void set_pacing(int baud) { pace_baud = baud; }

    // Bytes the host sent, read at `now`.
    void received(size_t n, double now);
    // Queues bytes to go out at `at` or, paced, once the line is free.
    void queue(double at, const Bytes& bytes);
    // Writes what is due. Returns the time of the next write due, or a
    // negative value when nothing is queued. Throws std::runtime_error when
    // the line fails.
    double flush(double now);
    // Bytes are waiting for the line to take them (the descriptor is full).
    bool blocked() const { return write_blocked; }

    uint64_t bytes_in() const { return in; }
    uint64_t bytes_out() const { return out; }

private:
    Line(int master, int keep_open, std::string name);
    double byte_time() const { return pace_baud > 0 ? 10.0 / pace_baud : 0.0; }

    struct Pending {
        double at;
        Bytes bytes;
    };
    int master = -1;
    int slave_keep = -1;  // our own hold on a pty's far end, so a host may close and reopen it
    std::string name;
    int pace_baud = 0;
    double line_free = 0;
    std::deque<Pending> pending;
    bool write_blocked = false;
    uint64_t in = 0, out = 0;
};

}  // namespace sim
