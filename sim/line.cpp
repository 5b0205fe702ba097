#include "sim/line.h"

#include <fcntl.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include <fmt/format.h>

namespace sim {

namespace {

std::runtime_error sys_error(const std::string& what) {
    return std::runtime_error(fmt::format("{}: {}", what, std::strerror(errno)));
}

speed_t speed_for(int baud) {
    switch (baud) {
    case 1200: return B1200;
    case 2400: return B2400;
    case 4800: return B4800;
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 115200: return B115200;
    case 230400: return B230400;
    default: return B0;
    }
}

void make_raw(int fd, speed_t speed, const std::string& name) {
    termios tio{};
    if (tcgetattr(fd, &tio) != 0) throw sys_error(name + ": cannot read the line settings");
    cfmakeraw(&tio);
    tio.c_cflag &= ~static_cast<tcflag_t>(PARENB | CSTOPB | CSIZE | CRTSCTS);
    tio.c_cflag |= CS8 | CLOCAL | CREAD;
    if (speed != B0) {
        cfsetispeed(&tio, speed);
        cfsetospeed(&tio, speed);
    }
    if (tcsetattr(fd, TCSANOW, &tio) != 0) throw sys_error(name + ": cannot set the line raw");
}

// Bytes of a paced write handed to the line at once: about 10 ms worth.
size_t slice_for(int baud) { return baud > 0 ? std::max<size_t>(1, static_cast<size_t>(baud) / 1000) : SIZE_MAX; }

}  // namespace

Line::Line(int m, int keep, std::string n) : master(m), slave_keep(keep), name(std::move(n)) {}

Line::Line(Line&& o) noexcept
    : master(o.master),
      slave_keep(o.slave_keep),
      name(std::move(o.name)),
      pace_baud(o.pace_baud),
      line_free(o.line_free),
      pending(std::move(o.pending)),
      write_blocked(o.write_blocked),
      in(o.in),
      out(o.out) {
    o.master = o.slave_keep = -1;
}

Line::~Line() {
    if (master >= 0) close(master);
    if (slave_keep >= 0) close(slave_keep);
}

Line Line::open_pty() {
    const int m = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m < 0) throw sys_error("cannot open a pseudo-terminal");
    if (grantpt(m) != 0 || unlockpt(m) != 0) {
        const auto e = sys_error("cannot unlock the pseudo-terminal");
        close(m);
        throw e;
    }
    const char* p = ptsname(m);
    if (!p) {
        const auto e = sys_error("cannot name the pseudo-terminal");
        close(m);
        throw e;
    }
    std::string path = p;
    const int s = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (s < 0) {
        const auto e = sys_error(path + ": cannot open");
        close(m);
        throw e;
    }
    try {
        // Raw from the start: no echo of answers back to us, no line editing.
        make_raw(s, B0, path);
    } catch (...) {
        close(s);
        close(m);
        throw;
    }
    fcntl(m, F_SETFL, fcntl(m, F_GETFL) | O_NONBLOCK);
    return Line(m, s, path);
}

Line Line::open_port(const std::string& path, int baud) {
    const speed_t speed = speed_for(baud);
    if (speed == B0) throw std::runtime_error(fmt::format("{}: baud rate {} is not one a serial line takes", path, baud));
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) throw sys_error(path + ": cannot open");
    try {
        make_raw(fd, speed, path);
    } catch (...) {
        close(fd);
        throw;
    }
    return Line(fd, -1, path);
}

void Line::received(size_t n, double now) {
    in += n;
    if (pace_baud > 0) line_free = std::max(line_free, now) + static_cast<double>(n) * byte_time();
}

void Line::queue(double at, const Bytes& bytes) {
    if (bytes.empty()) return;
    if (pace_baud <= 0) {
        pending.push_back({at, bytes});
        std::stable_sort(pending.begin(), pending.end(), [](const Pending& a, const Pending& b) { return a.at < b.at; });
        return;
    }
    double t = std::max(at, line_free);
    const size_t slice = slice_for(pace_baud);
    for (size_t from = 0; from < bytes.size(); from += slice) {
        const size_t n = std::min(slice, bytes.size() - from);
        pending.push_back({t, Bytes(bytes.begin() + static_cast<long>(from), bytes.begin() + static_cast<long>(from + n))});
        t += static_cast<double>(n) * byte_time();
    }
    line_free = t;
}

double Line::flush(double now) {
    write_blocked = false;
    while (!pending.empty() && pending.front().at <= now) {
        Bytes& b = pending.front().bytes;
        const ssize_t n = write(master, b.data(), b.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN) {
                write_blocked = true;
                return now;
            }
            throw sys_error(name + ": write failed");
        }
        out += static_cast<uint64_t>(n);
        if (static_cast<size_t>(n) < b.size()) {
            b.erase(b.begin(), b.begin() + n);
            write_blocked = true;
            return now;
        }
        pending.pop_front();
    }
    return pending.empty() ? -1 : pending.front().at;
}

}  // namespace sim
