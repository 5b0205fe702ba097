#include "monitor/sinks/http_events.h"

#include <vector>

namespace monitor {

const std::string& EventStream::Item::Frame() {
    std::call_once(once, [this] { frame = EventStream::Frame(id, event); });
    return frame;
}

std::string EventStream::Frame(uint64_t id, const Event& e) {
    const std::string& json = e.Json();
    std::string f;
    f.reserve(json.size() + 48);
    f += "id: " + std::to_string(id) + "\nevent: " + e.Name() + "\ndata: ";
    f += json;  // one line: the JSON writer escapes every control character
    f += "\n\n";
    return f;
}

void EventStream::Push(const Event& e) {
    if (listeners.load() == 0) return;
    if (!e.As<CycleEvent>() && !e.As<AlarmEvent>() && !e.As<LinkEvent>() && !e.As<StorageEvent>()) return;
    {
        std::lock_guard<std::mutex> l(lock);
        if (stopping) return;
        ring.push_back(std::make_shared<Item>(next_id++, e));
        while (ring.size() > room) ring.pop_front();
    }
    wake.notify_all();
}

uint64_t EventStream::Subscribe(std::optional<uint64_t> last_id) {
    ++listeners;
    std::lock_guard<std::mutex> l(lock);
    // A reconnecting page gets what it missed while the ring still has it.
    if (last_id && *last_id < next_id) return *last_id + 1;
    return next_id;
}

void EventStream::Unsubscribe() { --listeners; }

bool EventStream::Next(uint64_t& cursor, std::string& out, std::chrono::milliseconds wait) {
    std::vector<std::shared_ptr<Item>> items;
    {
        std::unique_lock<std::mutex> l(lock);
        wake.wait_for(l, wait, [&] { return stopping || (!ring.empty() && ring.back()->id >= cursor); });
        if (stopping) return false;
        if (ring.empty() || ring.back()->id < cursor) return true;
        if (ring.front()->id > cursor) {
            dropped += ring.front()->id - cursor;
            cursor = ring.front()->id;
        }
        for (const auto& it : ring)
            if (it->id >= cursor) items.push_back(it);
        cursor = ring.back()->id + 1;
    }
    for (const auto& it : items) out += it->Frame();
    sent += items.size();
    return true;
}

void EventStream::Stop() {
    {
        std::lock_guard<std::mutex> l(lock);
        stopping = true;
        ring.clear();
    }
    wake.notify_all();
}

}  // namespace monitor
