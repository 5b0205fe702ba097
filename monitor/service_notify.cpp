#include "monitor/service_notify.h"

#include <systemd/sd-daemon.h>

#include <cstdlib>

namespace monitor {

ServiceNotify::ServiceNotify() {
    const char* socket = std::getenv("NOTIFY_SOCKET");
    enabled = socket && *socket;
    if (!enabled) return;
    uint64_t usec = 0;
    // Checks $WATCHDOG_PID too: a watchdog meant for a parent is not ours.
    if (sd_watchdog_enabled(0, &usec) > 0) watchdog = std::chrono::microseconds(usec);
}

void ServiceNotify::Ready() {
    if (enabled) sd_notify(0, "READY=1\nSTATUS=polling");
}

void ServiceNotify::Alive(Clock::time_point now) {
    if (!enabled || watchdog.count() == 0) return;
    if (pinged && now - last_ping < watchdog / 4) return;
    sd_notify(0, "WATCHDOG=1");
    last_ping = now;
    pinged = true;
}

void ServiceNotify::Stopping() {
    if (enabled) sd_notify(0, "STOPPING=1\nSTATUS=stopping");
}

int ServiceNotify::WaitHintMs() const {
    if (!enabled || watchdog.count() == 0) return -1;
    return static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(watchdog / 4).count());
}

}  // namespace monitor
