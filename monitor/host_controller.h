#pragma once
// The program's SMDController: the driver's log, snapshots, history and alarm
// batches land here, on the poll thread. It keeps the alarm book, gathers
// each polling cycle's rows into one storage batch, and hands events to the
// sinks: a cycle (and its alarm changes) only once the batch is committed.

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <json/json.h>

#include "host/controller.h"
#include "host/frame.h"
#include "host/pmbus_protocol.h"
#include "host/vdevice.h"
#include "monitor/alarm_book.h"
#include "monitor/event_sink.h"
#include "monitor/snapshot_view.h"
#include "monitor/store.h"

namespace monitor {

// The frame layer's counters as one JSON object.
Json::Value CountersJson(const PMBusProtocol::Counters& c);

// What a request asks for, for the status line ("AC analog values").
std::string RequestName(uint8_t cid1, uint8_t cid2);

// The last known picture of one child.
struct UnitState {
    uint32_t device = 0;
    std::string device_type;
    int type = 0;
    SnapshotValues snapshot;  // decoded
    bool seen = false;        // restored or published since start
};

// State the live view shows besides the events.
struct LinkStatus {
    bool known = false;  // a valid answer or a give-up has been seen
    bool up = false;
    std::string model;
    // The frame layer's counters, in its order.
    std::vector<std::pair<std::string, uint64_t>> counter_items;
    // Request in flight ("41/43"), empty when the line is idle.
    std::string request;
    std::string request_name;
    double request_age_s = 0;
    // Position of the request in a full cycle, 1-based, of kCycleSteps.
    int step_index = 0;
    int cycle_requests = 0;  // requests sent in this cycle, retransmissions included
    bool in_cycle = false;
    double cycle_age_s = 0;
    int64_t last_duration_ms = -1;
    double since_last_cycle_s = -1;  // -1: no cycle yet
    uint64_t cycles = 0;  // reported
};

class HostController : public SMDController {
public:
    static constexpr int kCycleSteps = 11;

    HostController(Storage& store, uint32_t main_id);

    void AddSink(EventSink* sink);
    // The main device, its frame layer (null if it has none) and its children.
    void Attach(SMDSPDevice* main, PMBusProtocol* frames, std::vector<std::shared_ptr<SMDVDevice>> children);

    // Start: loads the alarm book and restores each child from its cache row.
    void Restore();

    // Driver hooks.
    void Log(const std::string& rendered) override;
    void PublishSnapshot(SMDVDevice& device, int type, const unsigned char* data, int len, bool flag) override;
    void SaveHistory(SMDVDevice& device, const unsigned char* data, int len) override;
    bool EvaluateRules(SMDVDevice& device, const std::vector<rule_value>& rules) override;

    // After every call into the driver: runs the queued alarm work, notes
    // link changes, hands complete batches to storage.
    void AfterDriverCall();
    // Line bytes: tx from the device's tap, rx from the read loop.
    void OnLine(bool tx, const unsigned char* data, size_t n);
    // A line of the driver's standard output.
    void DriverOutput(const std::string& line);
    // The store committed something (or failed): report what is now stored.
    void OnStoreProgress();
    // Stopping: hands over what is gathered, waits for storage, reports.
    void Finish();

    void Emit(Json::Value event);
    uint64_t CyclesReported() const { return reported_cycles; }
    LinkStatus Status() const;
    const std::vector<UnitState>& Units() const { return units; }
    const AlarmBook& Book() const { return book; }
    const std::string& LastLog() const { return last_log; }
    // True while a line of the driver's standard output is being handed out,
    // so a view can keep that chatter apart from the log.
    bool InDriverOutput() const { return in_driver_output; }

private:
    struct Pending {
        uint64_t tag;
        std::vector<Json::Value> events;
        bool alarms_changed;
        bool is_cycle;
        std::vector<UnitState> unit_updates;
    };

    void add_alarm_changes(std::vector<AlarmChange> changes);
    void seal_if_complete();
    void check_link();
    void set_model(const std::string& model);
    UnitState* unit_for(const SMDVDevice& d);

    Storage& store;
    uint32_t main_id;
    std::vector<EventSink*> sinks;
    SMDSPDevice* main = nullptr;
    PMBusProtocol* frames = nullptr;
    std::vector<std::shared_ptr<SMDVDevice>> children;
    std::vector<UnitState> units;
    AlarmBook book;

    // The batch being gathered.
    Batch batch;
    std::vector<Json::Value> batch_events;
    std::vector<const SMDVDevice*> batch_saved;  // units whose history is in
    std::vector<UnitState> batch_units;
    bool batch_alarms = false;
    std::deque<Pending> pending;

    uint64_t sealed_cycles = 0;
    uint64_t reported_cycles = 0;

    // Link and request tracking.
    using Clock = std::chrono::steady_clock;
    bool link_known = false, link_up = false;
    uint64_t seen_answers = 0, seen_give_ups = 0;
    frame::Receiver tx_rx, rx_rx;
    std::optional<std::pair<uint8_t, uint8_t>> in_flight;
    Clock::time_point in_flight_since{};
    bool in_cycle = false;
    Clock::time_point cycle_start{};
    int cycle_requests = 0;
    int64_t last_duration_ms = -1;
    Clock::time_point last_cycle_end{};
    std::string model;
    std::string last_log;
    bool in_driver_output = false;
    bool info_answered = false;  // a device-information answer came in this call
    bool model_rule_seen = false;
};

}  // namespace monitor
