#include "monitor/event_hub.h"

#include <algorithm>

#include "monitor/clock_text.h"

namespace monitor {

void EventHub::Emit(Event::Body body) {
    Publish();
    const Event e{EventTime(), std::move(body)};
    const auto now = site.Current();
    for (Sink* s : sinks) s->OnEvent(e, *now);
}

void EventHub::Publish() {
    std::vector<SinkState> next;
    for (const Sink* s : sinks)
        if (auto st = s->State()) next.push_back(std::move(*st));
    auto same = [](const SinkState& a, const SinkState& b) {
        return a.name == b.name && a.up == b.up && a.counters == b.counters && a.detail == b.detail;
    };
    if (!std::equal(next.begin(), next.end(), states.begin(), states.end(), same)) {
        states = next;
        site.Edit().sinks = std::move(next);
    }
    site.Publish();
    const auto now = site.Current();
    if (now->version == told) return;
    told = now->version;
    for (Sink* s : sinks) s->OnSite(now);
}

int EventHub::Tick(SteadyClock::time_point now) {
    int wait = -1;
    for (Sink* s : sinks) {
        const int hint = s->Tick(now);
        if (hint >= 0 && (wait < 0 || hint < wait)) wait = hint;
    }
    return wait;
}

void EventHub::Stop() {
    for (Sink* s : sinks) s->Stop();
}

}  // namespace monitor
