#pragma once
// The program's SMDController: the driver's log, snapshots, history and alarm
// batches land here, on the poll thread. It keeps the alarm book, gathers
// each polling cycle's rows into one storage batch, and reports: a cycle
// (and its alarm changes) only once its batch is committed, when the site
// state takes it over and the events go out.

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "host/controller.h"
#include "host/vdevice.h"
#include "monitor/alarm_book.h"
#include "monitor/events.h"
#include "monitor/link_tracker.h"
#include "monitor/site_state.h"
#include "monitor/store.h"

namespace monitor {

class Controller : public SMDController {
public:
    using Emit = std::function<void(Event::Body)>;

    Controller(Storage& store, SiteState& site, uint32_t main_id, Emit emit);

    // The main device's children, as the site shows them.
    void Attach(std::vector<std::shared_ptr<SMDVDevice>> children);
    LinkTracker& Link() { return link; }

    // Start: loads the alarm book and restores each child from its cache row.
    void Restore();

    // Driver hooks.
    void Log(const std::string& rendered) override;
    void PublishSnapshot(SMDVDevice& device, int type, const unsigned char* data, int len, bool flag) override;
    void SaveHistory(SMDVDevice& device, const unsigned char* data, int len) override;
    bool EvaluateRules(SMDVDevice& device, const std::vector<rule_value>& rules) override;

    // After every call into the driver: runs the queued alarm work, notes
    // link changes, hands a complete batch to storage.
    void AfterDriverCall();
    // A line of the driver's standard output.
    void DriverOutput(const std::string& line);
    // A line of the program's own.
    void HostLog(Level level, const std::string& text);
    // The store committed something (or failed): report what is now stored.
    void OnStoreProgress();
    // Stopping: hands over what is gathered, waits for storage, reports.
    void Finish();
    // Asks storage to commit what waits now rather than with later cycles.
    void FlushStorage();

    uint64_t CyclesReported() const { return reported_cycles; }
    uint64_t CyclesSealed() const { return sealed_cycles; }
    const std::string& LastLog() const { return last_log; }

private:
    struct Pending {
        uint64_t tag = 0;
        std::vector<Event::Body> events;
        bool alarms_changed = false;
        bool is_cycle = false;
        std::vector<UnitReport> units;
    };

    void add_alarm_changes(std::vector<AlarmChange> changes);
    void note_storage(const StoreStatus& status);
    void drop_cycles(const std::vector<uint64_t>& tags);
    void note_link();
    void seal_if_complete();
    void submit(bool is_cycle, int64_t at);
    std::string label(const Alarm& a) const;
    UnitReport decode(const SMDVDevice& device, int type, const std::vector<unsigned char>& bytes);
    const UnitState* unit_for(const SMDVDevice& d) const;

    Storage& store;
    SiteState& site;
    const model::Model& model;
    uint32_t main_id;
    Emit emit;
    LinkTracker link;
    std::vector<std::shared_ptr<SMDVDevice>> children;
    AlarmBook book;
    std::vector<int> snapshot_types;  // by child, learnt from PublishSnapshot

    // The batch being gathered.
    Batch batch;
    std::vector<Event::Body> batch_events;
    std::vector<const SMDVDevice*> batch_saved;  // units whose history is in
    std::vector<UnitReport> batch_units;
    bool batch_alarms = false;
    std::deque<Pending> pending;

    uint64_t sealed_cycles = 0;
    uint64_t reported_cycles = 0;
    std::string last_log;
    bool model_rule_seen = false;
    StoreStatus storage_said;  // as the last "storage" event told it
    std::chrono::steady_clock::time_point drop_said;
};

}  // namespace monitor
