#pragma once
// A way of showing the site: JSON lines, the live view, a broker, a server.
// A sink gets the events and the published site state, and never asks the
// controller or another sink for anything. Every call comes from the poll
// thread and must return at once; a sink with slow work has its own thread
// and reads only the immutable snapshots it was handed.

#include <memory>
#include <optional>
#include <string>

#include "monitor/events.h"
#include "monitor/site_state.h"

namespace monitor {

class Sink {
public:
    virtual ~Sink() = default;
    virtual std::string Name() const = 0;

    // One event; site is the state published just before it.
    virtual void OnEvent(const Event& event, const SiteSnapshot& site) = 0;
    // The site state was published anew.
    virtual void OnSite(const std::shared_ptr<const SiteSnapshot>& site) { (void)site; }

    // A descriptor the poll loop watches for the sink (-1: none), and what
    // to do when it is readable.
    virtual int Fd() const { return -1; }
    virtual void OnReadable() {}
    // Every turn of the poll loop. Returns how long the sink may wait until
    // its next turn, in milliseconds (-1: as long as the loop likes).
    virtual int Tick(SteadyClock::time_point now) {
        (void)now;
        return -1;
    }

    // Its own state for the site (broker link, clients), read on the poll
    // thread after every turn.
    virtual std::optional<SinkState> State() const { return std::nullopt; }

    // The program is stopping: queued history is committed, the last events
    // are out. Must finish in bounded time.
    virtual void Stop() {}
};

}  // namespace monitor
