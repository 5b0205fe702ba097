#pragma once
// The events for /api/events (Server-Sent Events). The poll thread only
// copies an event into a short ring and wakes the readers; each reader's
// thread renders (once per event, shared) and writes. A reader is only a
// position in the ring: one that falls too far behind skips what the ring
// no longer holds, and the ids it then sees jump, so the page knows to
// reload the state. Nothing a reader does can hold up the poll thread.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "monitor/events.h"

namespace monitor {

class EventStream {
public:
    explicit EventStream(size_t ring = 64) : room(ring) {}

    // Poll thread. Only "cycle", "alarm", "link" and "storage" are kept, and
    // only while someone listens.
    void Push(const Event& event);

    // A reader: where it starts (after last_id, or with what comes next).
    uint64_t Subscribe(std::optional<uint64_t> last_id);
    void Unsubscribe();
    // Waits up to `wait` for events from cursor on; appends their frames to
    // out and moves cursor past them. Counts events the reader missed in
    // dropped. False once stopping.
    bool Next(uint64_t& cursor, std::string& out, std::chrono::milliseconds wait);

    void Stop();
    uint64_t Listeners() const { return listeners.load(); }
    uint64_t Dropped() const { return dropped.load(); }
    uint64_t Sent() const { return sent.load(); }

    // One frame: "id: <n>\nevent: <name>\ndata: <json>\n\n".
    static std::string Frame(uint64_t id, const Event& e);

private:
    struct Item {
        uint64_t id;
        Event event;
        std::once_flag once;
        std::string frame;
        Item(uint64_t i, const Event& e) : id(i), event(e) {}
        const std::string& Frame();
    };

    const size_t room;
    mutable std::mutex lock;
    std::condition_variable wake;
    std::deque<std::shared_ptr<Item>> ring;
    uint64_t next_id = 1;
    bool stopping = false;
    std::atomic<uint64_t> listeners{0}, dropped{0}, sent{0};
};

}  // namespace monitor
