#include "monitor/site_state.h"

namespace monitor {

const UnitState* SiteSnapshot::Unit(uint32_t device) const {
    for (const auto& u : units)
        if (u.device == device) return &u;
    return nullptr;
}

SiteState::SiteState(const model::Model& m) {
    work.model = &m;
    Publish();
}

void SiteState::Publish() {
    if (!dirty) return;
    dirty = false;
    ++work.version;
    auto next = std::make_shared<const SiteSnapshot>(work);
    std::lock_guard<std::mutex> l(lock);
    current.swap(next);
    // The old snapshot is freed outside the lock, by whoever drops it last.
}

std::shared_ptr<const SiteSnapshot> SiteState::Current() const {
    std::lock_guard<std::mutex> l(lock);
    return current;
}

}  // namespace monitor
