#pragma once
// Hands events and the published site state to the sinks, on the poll
// thread: before every event the site state is published, so a sink that
// reads it beside the event never sees it older than the event.

#include <memory>
#include <vector>

#include "monitor/events.h"
#include "monitor/site_state.h"
#include "monitor/sinks/sink.h"

namespace monitor {

class EventHub {
public:
    explicit EventHub(SiteState& site) : site(site) {}

    void Add(Sink* sink) { sinks.push_back(sink); }
    const std::vector<Sink*>& Sinks() const { return sinks; }

    void Emit(Event::Body body);
    // Takes in each sink's own state, publishes what changed and tells the
    // sinks of a new snapshot.
    void Publish();
    // Every sink's turn; the shortest wait they asked for (-1: none).
    int Tick(SteadyClock::time_point now);
    void Stop();

private:
    SiteState& site;
    std::vector<Sink*> sinks;
    std::vector<SinkState> states;
    uint64_t told = 0;  // the version the sinks last saw
};

}  // namespace monitor
