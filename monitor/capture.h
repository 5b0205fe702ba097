#pragma once
// Line capture: every chunk sent and received, one line each:
// <seconds since start, 6 decimals> <"tx" or "rx"> <hex bytes>.
// The simulator replays the same format.

#include <chrono>
#include <cstdio>
#include <stdexcept>
#include <string>

namespace monitor {

class Capture {
public:
    // Appends to path; throws std::runtime_error naming the file and why.
    explicit Capture(const std::string& path);
    ~Capture();
    Capture(const Capture&) = delete;
    Capture& operator=(const Capture&) = delete;

    void Record(bool tx, const unsigned char* data, size_t n);

    // One line as written (without the newline); for tests and tools.
    static std::string Line(double seconds, bool tx, const unsigned char* data, size_t n);

private:
    FILE* file = nullptr;
    std::chrono::steady_clock::time_point start;
};

}  // namespace monitor
