#include "sim/server.h"

#include <poll.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <iostream>

#include <fmt/format.h>

namespace sim {

namespace {

volatile sig_atomic_t stop_requested = 0;
volatile sig_atomic_t reload_requested = 0;

void on_signal(int sig) {
    if (sig == SIGHUP)
        reload_requested = 1;
    else
        stop_requested = 1;
}

double monotonic() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

}  // namespace

Server::Server(Line l, Simulator s, std::optional<Replay> r, ServerOptions o)
    : line(std::move(l)), sim(std::move(s)), replay(std::move(r)), opt(std::move(o)), started(monotonic()) {}

double Server::now() const { return monotonic() - started; }

void Server::handle_bytes(const uint8_t* data, size_t n, double t) {
    line.received(n, t);
    for (size_t i = 0; i < n; ++i) {
        auto r = decoder.feed(data[i]);
        if (!r) continue;
        std::vector<Chunk> chunks;
        const Bytes& raw = r->request ? r->request->raw : r->bad->raw;
        if (replay) {
            chunks = replay->answer(raw, t);
            ++(chunks.empty() ? sim.stats().replay_misses : sim.stats().replayed);
        } else if (r->request) {
            chunks = sim.on_request(*r->request, t);
        } else {
            chunks = sim.on_bad_request(*r->bad, t);
        }
        if (opt.verbose) {
            std::string out;
            for (const auto& c : chunks) out += std::string(c.bytes.begin(), c.bytes.end());
            for (char& c : out)
                if (c == '\r') c = '|';
            std::cerr << fmt::format("m520s-sim: {:.3f} cycle {} request {}{} answer {}\n", t, sim.cycle(),
                                     std::string(raw.begin() + 1, raw.end() - 1),
                                     r->bad ? " (" + r->bad->reason + ")" : "", out.empty() ? "(none)" : out);
        }
        for (const auto& c : chunks) line.queue(c.at, c.bytes);
    }
}

void Server::reload(double t) {
    if (!opt.scenario_file) {
        std::cerr << "m520s-sim: SIGHUP: no scenario file to re-read (built-in scenario)\n";
        return;
    }
    try {
        sim.replace(Scenario::load_file(*opt.scenario_file), t);
        std::cerr << fmt::format("m520s-sim: re-read {}\n", *opt.scenario_file);
    } catch (const ScenarioError& e) {
        std::cerr << fmt::format("m520s-sim: {} (keeping the scenario in use)\n", e.what());
    }
}

int Server::run() {
    struct sigaction sa{};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    for (int s : {SIGINT, SIGTERM, SIGHUP}) sigaction(s, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
    // Signals are let in only while waiting, so none is lost between a check and the wait.
    sigset_t block, wait_mask;
    sigemptyset(&block);
    for (int s : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&block, s);
    sigprocmask(SIG_BLOCK, &block, &wait_mask);
    for (int s : {SIGINT, SIGTERM, SIGHUP}) sigdelset(&wait_mask, s);

    double next_stats = opt.stats_every_s > 0 ? opt.stats_every_s : -1;
    int rc = 0;
    try {
        for (;;) {
            if (stop_requested) break;
            if (reload_requested) {
                reload_requested = 0;
                reload(now());
            }
            double t = now();
            const double next_write = line.flush(t);
            if (next_stats >= 0 && t >= next_stats) {
                sim.stats().bytes_in = line.bytes_in();
                sim.stats().bytes_out = line.bytes_out();
                std::cerr << "m520s-sim: stats " << sim.stats().line() << std::endl;
                while (next_stats <= t) next_stats += opt.stats_every_s;
            }
            double wake = -1;
            for (double w : {next_write, next_stats})
                if (w >= 0 && (wake < 0 || w < wake)) wake = w;
            pollfd p{line.fd(), static_cast<short>(POLLIN | (line.blocked() ? POLLOUT : 0)), 0};
            timespec ts{};
            timespec* timeout = nullptr;
            if (line.blocked()) wake = t + 0.05;
            if (wake >= 0) {
                const double d = std::max(0.0, wake - t);
                ts.tv_sec = static_cast<time_t>(d);
                ts.tv_nsec = static_cast<long>((d - std::floor(d)) * 1e9);
                timeout = &ts;
            }
            const int ready = ppoll(&p, 1, timeout, &wait_mask);
            if (ready < 0) {
                if (errno == EINTR) continue;
                throw std::runtime_error(fmt::format("{}: poll failed: {}", line.path(), std::strerror(errno)));
            }
            if (ready == 0 || !(p.revents & (POLLIN | POLLHUP | POLLERR))) continue;
            uint8_t buf[4096];
            const ssize_t n = read(line.fd(), buf, sizeof buf);
            if (n > 0) {
                handle_bytes(buf, static_cast<size_t>(n), now());
            } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
                // A serial device that went away; a pty we hold open never gets here.
                if (n == 0 || errno == EIO) {
                    usleep(100000);
                    continue;
                }
                throw std::runtime_error(fmt::format("{}: read failed: {}", line.path(), std::strerror(errno)));
            }
        }
    } catch (const std::exception& e) {
        std::cerr << "m520s-sim: " << e.what() << "\n";
        rc = 3;
    }
    sim.stats().bytes_in = line.bytes_in();
    sim.stats().bytes_out = line.bytes_out();
    std::cerr << "m520s-sim: stats " << sim.stats().line() << std::endl;
    return rc;
}

}  // namespace sim
