#include "monitor/link_tracker.h"

#include <cstring>
#include <type_traits>

#include "host/frame.h"

namespace monitor {

void LinkTracker::OnRequest(uint8_t cid1, uint8_t cid2, bool) {
    const auto now = SteadyClock::now();
    LinkState& l = site.Edit().link;
    l.in_flight = RequestState{cid1, cid2, now, model.CycleIndex(cid1, cid2)};
    if (!l.in_cycle) {
        l.in_cycle = true;
        l.cycle_start = now;
        l.cycle_requests = 0;
    }
    ++l.cycle_requests;
}

void LinkTracker::OnFrame(Outcome outcome, const std::vector<unsigned char>& view) {
    if (outcome != Outcome::Accepted) return;
    LinkState& l = site.Edit().link;
    const model::Request info = model.DeviceInfo();
    if (l.in_flight && l.in_flight->cid1 == info.cid1 && l.in_flight->cid2 == info.cid2 &&
        view.size() >= frame::kViewInfo && view[frame::kViewCid1] == info.cid1) {
        changes.info_answered = true;
        std::string text = model.ModelText(view.data() + frame::kViewInfo, view.size() - frame::kViewInfo);
        if (text != site.Working().model_text) {
            site.Edit().model_text = text;
            changes.model_text = std::move(text);
        }
    }
    l.in_flight.reset();
    if (!l.known || !l.up) changes.link.push_back(true);
    l.known = l.up = true;
}

void LinkTracker::OnGiveUp(uint8_t, uint8_t, bool) {
    LinkState& l = site.Edit().link;
    l.in_flight.reset();
    l.in_cycle = false;
    if (!l.known || l.up) changes.link.push_back(false);
    l.known = true;
    l.up = false;
}

LinkTracker::Changes LinkTracker::Take() {
    Changes out;
    std::swap(out, changes);
    return out;
}

void LinkTracker::CycleDone() {
    const auto now = SteadyClock::now();
    LinkState& l = site.Edit().link;
    l.last_duration_ms =
        l.in_cycle ? std::chrono::duration_cast<std::chrono::milliseconds>(now - l.cycle_start).count() : 0;
    l.in_cycle = false;
    l.last_cycle_end = now;
}

void LinkTracker::Refresh() {
    if (!frames) return;
    const auto& c = frames->counters();
    const auto& shown = site.Working().link.counters;
    // Only a change is worth a new snapshot. The counters are plain 64-bit
    // fields, so their bytes compare them all.
    static_assert(std::is_trivially_copyable_v<PMBusProtocol::Counters> &&
                  sizeof(PMBusProtocol::Counters) % sizeof(uint64_t) == 0);
    if (std::memcmp(&c, &shown, sizeof c) != 0) site.Edit().link.counters = c;
}

const PMBusProtocol::Counters& LinkTracker::Counters() const {
    static const PMBusProtocol::Counters none;
    return frames ? frames->counters() : none;
}

}  // namespace monitor
