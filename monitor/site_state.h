#pragma once
// The current picture of the site. Only the poll thread edits it; Publish()
// makes an immutable copy that any thread may hold for as long as it likes,
// so a reader never blocks the poll thread for more than a pointer swap and
// never sees a half-written state.

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "host/pmbus_protocol.h"
#include "monitor/alarm_book.h"
#include "monitor/models/model.h"
#include "monitor/models/unit_data.h"

namespace monitor {

using SteadyClock = std::chrono::steady_clock;

struct UnitState {
    uint32_t device = 0;
    std::string device_type;
    const model::UnitKind* kind = nullptr;  // null: a device the model does not know
    std::shared_ptr<const UnitData> data;   // the last reported or restored snapshot
    std::string error;                      // why the last snapshot was refused
    bool seen = false;                      // restored or reported since start
};

struct RequestState {
    uint8_t cid1 = 0, cid2 = 0;
    SteadyClock::time_point since;
    int index = 0;  // 1-based position in the model's cycle, 0 if none
};

struct LinkState {
    bool known = false;  // a valid answer or a give-up has been seen
    bool up = false;
    PMBusProtocol::Counters counters;
    std::optional<RequestState> in_flight;
    bool in_cycle = false;
    SteadyClock::time_point cycle_start;
    int cycle_requests = 0;  // requests of this cycle, retransmissions included
    int64_t last_duration_ms = -1;
    std::optional<SteadyClock::time_point> last_cycle_end;
    std::optional<std::chrono::system_clock::time_point> last_cycle_wall;
    uint64_t cycles = 0;  // reported (committed) since start
};

struct StorageState {
    bool ok = true;
    std::string reason;
    uint64_t held = 0;     // cycles waiting for their commit
    uint64_t dropped = 0;  // cycles given up since start
};

// What a sink says of itself (a broker connection, a server's clients).
struct SinkState {
    std::string name;
    bool up = false;
    std::vector<std::pair<std::string, uint64_t>> counters;
    std::string detail;  // e.g. the URL
};

struct SiteSnapshot {
    uint64_t version = 0;
    const model::Model* model = nullptr;
    std::string model_text;  // what the controller reported, "" until it has
    std::string port;
    std::vector<UnitState> units;
    std::shared_ptr<const std::vector<Alarm>> alarms = std::make_shared<const std::vector<Alarm>>();
    LinkState link;
    StorageState storage;
    std::vector<SinkState> sinks;

    const UnitState* Unit(uint32_t device) const;
};

class SiteState {
public:
    explicit SiteState(const model::Model& model);

    // Poll thread only.
    SiteSnapshot& Edit() {
        dirty = true;
        return work;
    }
    const SiteSnapshot& Working() const { return work; }
    // Publishes the edits, if any, for every thread. Poll thread only.
    void Publish();

    // Any thread.
    std::shared_ptr<const SiteSnapshot> Current() const;

private:
    SiteSnapshot work;
    bool dirty = true;
    mutable std::mutex lock;
    std::shared_ptr<const SiteSnapshot> current;
};

}  // namespace monitor
