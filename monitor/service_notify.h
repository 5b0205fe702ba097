#pragma once
// What the service manager is told: ready once polling starts, alive from
// every turn of the poll loop, stopping at a clean stop. Outside systemd
// (no $NOTIFY_SOCKET) every call is a no-op.

#include <chrono>
#include <cstdint>

namespace monitor {

class ServiceNotify {
public:
    using Clock = std::chrono::steady_clock;

    // Reads the environment: the notify socket and the watchdog interval.
    ServiceNotify();

    bool Enabled() const { return enabled; }
    // How often the watchdog wants to hear from us (zero: no watchdog).
    std::chrono::microseconds WatchdogInterval() const { return watchdog; }

    void Ready();
    // From every turn of the poll loop: tells the watchdog at most every
    // quarter of its interval, so a late turn still lands well inside it.
    void Alive(Clock::time_point now);
    void Stopping();
    // The longest the poll loop may wait before it must call Alive again
    // (-1: no watchdog).
    int WaitHintMs() const;

private:
    bool enabled = false;
    std::chrono::microseconds watchdog{0};
    Clock::time_point last_ping{};
    bool pinged = false;
};

}  // namespace monitor
