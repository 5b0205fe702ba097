#include "monitor/capture.h"

#include <cerrno>
#include <cstring>

#include <fmt/format.h>

namespace monitor {

Capture::Capture(const std::string& path) : start(std::chrono::steady_clock::now()) {
    file = std::fopen(path.c_str(), "ae");
    if (!file) throw std::runtime_error(fmt::format("capture file {}: {}", path, std::strerror(errno)));
}

Capture::~Capture() {
    if (file) std::fclose(file);
}

std::string Capture::Line(double seconds, bool tx, const unsigned char* data, size_t n) {
    static const char* hex = "0123456789ABCDEF";
    std::string s = fmt::format("{:.6f} {} ", seconds, tx ? "tx" : "rx");
    s.reserve(s.size() + 2 * n);
    for (size_t i = 0; i < n; ++i) {
        s += hex[data[i] >> 4];
        s += hex[data[i] & 0x0F];
    }
    return s;
}

void Capture::Record(bool tx, const unsigned char* data, size_t n) {
    if (!file || n == 0) return;
    const double t = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const std::string line = Line(t, tx, data, n);
    std::fputs(line.c_str(), file);
    std::fputc('\n', file);
    // Each line reaches the file at once, so a capture survives a crash.
    std::fflush(file);
}

}  // namespace monitor
