#include "monitor/host_controller.h"

#include <algorithm>

#include "monitor/json_lines.h"

namespace monitor {

namespace {

struct RequestInfo {
    uint8_t cid1, cid2;
    const char* name;
};

// A full cycle, in the order the main device sends it.
constexpr RequestInfo kRequests[] = {
    {0x40, 0x51, "device information"},  {0x40, 0x41, "AC analog values"},
    {0x40, 0x43, "AC switch states"},    {0x40, 0x44, "AC alarm states"},
    {0x41, 0x41, "rectifier analog values"}, {0x41, 0x43, "rectifier switch states"},
    {0x41, 0x44, "rectifier alarm states"},  {0x42, 0x41, "DC analog values"},
    {0x42, 0x44, "DC alarm states"},     {0x40, 0x46, "AC parameters"},
    {0x42, 0x46, "DC parameters"},
};
static_assert(std::size(kRequests) == HostController::kCycleSteps);

int request_index(uint8_t cid1, uint8_t cid2) {
    for (size_t i = 0; i < std::size(kRequests); ++i)
        if (kRequests[i].cid1 == cid1 && kRequests[i].cid2 == cid2) return static_cast<int>(i) + 1;
    return 0;
}

std::string trim_model(std::string s) {
    while (!s.empty() && (s.back() == ' ' || s.back() == '\0')) s.pop_back();
    return s;
}

Alarm link_lost_alarm(uint32_t device) {
    Alarm a;
    a.device = device;
    a.key = "link_lost";
    a.code = "00000";
    a.name = "communication lost";
    a.level = 1;
    a.state = 1;
    return a;
}

}  // namespace

Json::Value CountersJson(const PMBusProtocol::Counters& c) {
    Json::Value v(Json::objectValue);
    for (const auto& [name, n] : c.items()) v[name] = static_cast<Json::UInt64>(n);
    return v;
}

std::string RequestName(uint8_t cid1, uint8_t cid2) {
    const int i = request_index(cid1, cid2);
    return i ? kRequests[i - 1].name : "unknown request";
}

HostController::HostController(Storage& s, uint32_t id) : store(s), main_id(id) {}

void HostController::AddSink(EventSink* sink) { sinks.push_back(sink); }

void HostController::Attach(SMDSPDevice* m, PMBusProtocol* f, std::vector<std::shared_ptr<SMDVDevice>> c) {
    main = m;
    frames = f;
    children.clear();
    for (auto& d : c)
        if (d) children.push_back(std::move(d));
    units.clear();
    for (const auto& d : children) {
        UnitState u;
        u.device = d->DataId();
        u.device_type = d->DeviceType();
        units.push_back(std::move(u));
    }
}

UnitState* HostController::unit_for(const SMDVDevice& d) {
    for (auto& u : units)
        if (u.device == d.DataId() && u.device_type == d.DeviceType()) return &u;
    return nullptr;
}

void HostController::Emit(Json::Value event) {
    event["time"] = NowText();
    for (auto* s : sinks) s->OnEvent(event);
}

void HostController::Restore() {
    book.Load(store.LoadActiveAlarms());
    const Json::Value active = book.ActiveJson();
    for (auto* s : sinks) s->OnActiveAlarms(active);

    const std::vector<SnapshotRow> rows = store.LoadCache();
    for (const auto& child : children) {
        const SnapshotRow* row = nullptr;
        for (const auto& r : rows)
            if (r.device == child->DataId() && r.device_type == child->DeviceType()) row = &r;
        bool ok = false;
        if (row && !row->data.empty())
            ok = child->LoadFromCache(row->data.data(), static_cast<int>(row->data.size()));
        if (ok) {
            if (UnitState* u = unit_for(*child)) {
                u->type = row->type;
                u->snapshot = DecodeSnapshot(row->type, row->data.data(), row->data.size());
                u->seen = true;
            }
        }
        Json::Value ev(Json::objectValue);
        ev["event"] = "restore";
        ev["device"] = child->DataId();
        ev["device_type"] = child->DeviceType();
        ev["ok"] = ok;
        Emit(ev);
    }
}

void HostController::Log(const std::string& rendered) {
    last_log = rendered;
    Json::Value ev(Json::objectValue);
    ev["event"] = "log";
    ev["text"] = rendered;
    Emit(ev);
}

void HostController::DriverOutput(const std::string& line) {
    in_driver_output = true;
    Log(line);
    in_driver_output = false;
}

void HostController::PublishSnapshot(SMDVDevice& device, int type, const unsigned char* data, int len, bool) {
    if (UnitState* u = unit_for(device)) u->type = type;
    SnapshotRow row;
    row.time = NowText();
    row.device = device.DataId();
    row.device_type = device.DeviceType();
    row.type = type;
    if (data && len > 0) row.data.assign(data, data + len);
    // One cache row per child and batch: the latest wins.
    for (auto& r : batch.cache)
        if (r.device == row.device && r.device_type == row.device_type) {
            r = std::move(row);
            return;
        }
    batch.cache.push_back(std::move(row));
}

void HostController::SaveHistory(SMDVDevice& device, const unsigned char* data, int len) {
    const UnitState* known = unit_for(device);
    SnapshotRow row;
    row.time = NowText();
    row.device = device.DataId();
    row.device_type = device.DeviceType();
    row.type = known ? known->type : 0;
    if (data && len > 0) row.data.assign(data, data + len);

    UnitState u;
    u.device = row.device;
    u.device_type = row.device_type;
    u.type = row.type;
    u.snapshot = DecodeSnapshot(row.type, row.data.data(), row.data.size());
    u.seen = true;
    if (!u.snapshot.ok) Log("host: " + u.device_type + " " + std::to_string(u.device) + ": " + u.snapshot.error);
    batch.history.push_back(std::move(row));
    if (std::find(batch_saved.begin(), batch_saved.end(), &device) == batch_saved.end()) {
        batch_saved.push_back(&device);
        batch_units.push_back(std::move(u));
    } else {
        for (auto& b : batch_units)
            if (b.device == u.device && b.device_type == u.device_type) b = std::move(u);
    }
}

bool HostController::EvaluateRules(SMDVDevice& device, const std::vector<rule_value>& rules) {
    for (const auto& r : rules) {
        if (r.key != "device_model") continue;
        model_rule_seen = true;
        // The detail ends with the model text the controller reported.
        static const std::string marker = "检测型号:";
        const auto at = r.detail.find(marker);
        if (at != std::string::npos) set_model(trim_model(r.detail.substr(at + marker.size())));
    }
    add_alarm_changes(book.Evaluate(device.DataId(), rules, NowText()));
    return true;
}

void HostController::add_alarm_changes(std::vector<AlarmChange> changes) {
    for (auto& c : changes) {
        if (c.action != "update") batch_events.push_back(AlarmEventJson(c));
        batch.alarms.push_back(std::move(c));
        batch_alarms = true;
    }
}

void HostController::set_model(const std::string& m) {
    if (m == model) return;
    model = m;
    for (auto* s : sinks) s->OnModel(model);
}

void HostController::OnLine(bool tx, const unsigned char* data, size_t n) {
    const auto now = Clock::now();
    if (tx) {
        tx_rx.feed(
            data, n,
            [&](const std::vector<unsigned char>& v) {
                in_flight.emplace(v[frame::kViewCid1], v[frame::kViewRtn]);
                in_flight_since = now;
                if (!in_cycle) {
                    in_cycle = true;
                    cycle_start = now;
                    cycle_requests = 0;
                }
                ++cycle_requests;
            },
            nullptr);
        return;
    }
    rx_rx.feed(
        data, n,
        [&](const std::vector<unsigned char>& v) {
            if (v[frame::kViewRtn] != 0) return;
            if (in_flight && in_flight->first == 0x40 && in_flight->second == 0x51 && v[frame::kViewCid1] == 0x40) {
                info_answered = true;
                std::string text(v.begin() + frame::kViewInfo, v.end());
                if (text.size() > 20) text.resize(20);
                set_model(trim_model(text));
            }
            in_flight.reset();
        },
        nullptr);
}

void HostController::check_link() {
    if (!frames) return;
    const auto& c = frames->counters();
    auto link_event = [&](const char* state) {
        Json::Value ev(Json::objectValue);
        ev["event"] = "link";
        ev["state"] = state;
        ev["counters"] = CountersJson(c);
        Emit(ev);
    };
    if (c.give_ups > seen_give_ups) {
        seen_give_ups = c.give_ups;
        in_cycle = false;
        in_flight.reset();
        if (!link_known || link_up) link_event("down");
        link_known = true;
        link_up = false;
        add_alarm_changes(book.Set(link_lost_alarm(main_id), true, NowText()));
    }
    if (c.answers > seen_answers) {
        seen_answers = c.answers;
        if (!link_known || !link_up) link_event("up");
        link_known = true;
        link_up = true;
        add_alarm_changes(book.Set(link_lost_alarm(main_id), false, NowText()));
    }
}

void HostController::AfterDriverCall() {
    // An item that throws leaves the ones after it queued; they still run.
    for (int guard = 0; guard < 1000; ++guard) {
        try {
            RunQueuedWork();
            break;
        } catch (const std::exception& e) {
            Log(std::string("host: alarm work item failed: ") + e.what());
        } catch (...) {
            Log("host: alarm work item failed");
        }
    }
    if (info_answered && !model_rule_seen) {
        // The model is supported now: a model alarm from earlier is over.
        std::vector<Alarm> stale;
        for (const auto& [k, a] : book.Active())
            if (a.device == main_id && a.key == "device_model") stale.push_back(a);
        for (const auto& a : stale) add_alarm_changes(book.Set(a, false, NowText()));
    }
    info_answered = model_rule_seen = false;
    check_link();
    seal_if_complete();
}

void HostController::seal_if_complete() {
    const bool cycle = !children.empty() && batch_saved.size() >= children.size();
    const bool alarms_only = batch.history.empty() && batch.cache.empty() && !batch.alarms.empty();
    if (!cycle && !alarms_only) return;

    Pending p;
    p.events = std::move(batch_events);
    p.alarms_changed = batch_alarms;
    p.is_cycle = cycle;
    if (cycle) {
        const auto now = Clock::now();
        last_duration_ms =
            in_cycle ? std::chrono::duration_cast<std::chrono::milliseconds>(now - cycle_start).count() : 0;
        in_cycle = false;
        last_cycle_end = now;
        Json::Value ev(Json::objectValue);
        ev["event"] = "cycle";
        ev["n"] = static_cast<Json::UInt64>(++sealed_cycles);
        ev["duration_ms"] = static_cast<Json::Int64>(last_duration_ms);
        Json::Value& list = ev["units"] = Json::Value(Json::arrayValue);
        const auto wall = boost::posix_time::second_clock::local_time();
        for (const auto& u : batch_units) {
            Json::Value unit(Json::objectValue);
            unit["device"] = u.device;
            unit["device_type"] = u.device_type;
            unit["fresh"] = u.snapshot.ok && IsFresh(u.snapshot.stamp, wall);
            unit["values"] = u.snapshot.values;
            list.append(std::move(unit));
        }
        p.events.push_back(std::move(ev));
        p.unit_updates = std::move(batch_units);
    }
    batch.time = NowText();
    p.tag = store.Submit(std::move(batch));
    pending.push_back(std::move(p));

    batch = Batch{};
    batch_events.clear();
    batch_saved.clear();
    batch_units.clear();
    batch_alarms = false;
}

void HostController::OnStoreProgress() {
    store.Drain();
    for (const auto& e : store.TakeErrors()) Log(e);
    const uint64_t done = store.Committed();
    while (!pending.empty() && pending.front().tag <= done) {
        Pending p = std::move(pending.front());
        pending.pop_front();
        for (auto& u : p.unit_updates)
            for (auto& known : units)
                if (known.device == u.device && known.device_type == u.device_type) known = std::move(u);
        if (p.is_cycle) ++reported_cycles;
        for (auto& ev : p.events) Emit(std::move(ev));
        if (p.alarms_changed) {
            const Json::Value active = book.ActiveJson();
            for (auto* s : sinks) s->OnActiveAlarms(active);
        }
    }
}

void HostController::Finish() {
    AfterDriverCall();
    // Whatever is gathered is stored, even a cycle cut short.
    if (!batch.history.empty() || !batch.cache.empty() || !batch.alarms.empty()) {
        batch.time = NowText();
        Pending p{store.Submit(std::move(batch)), std::move(batch_events), batch_alarms, false, {}};
        pending.push_back(std::move(p));
        batch = Batch{};
    }
    store.Stop();
    OnStoreProgress();
    for (auto* s : sinks) s->OnStop();
}

LinkStatus HostController::Status() const {
    LinkStatus s;
    const auto now = Clock::now();
    s.known = link_known;
    s.up = link_up;
    s.model = model;
    if (frames) s.counter_items = frames->counters().items();
    if (in_flight) {
        s.request = fmt::format("{:02X}/{:02X}", in_flight->first, in_flight->second);
        s.request_name = RequestName(in_flight->first, in_flight->second);
        s.request_age_s = std::chrono::duration<double>(now - in_flight_since).count();
        s.step_index = request_index(in_flight->first, in_flight->second);
    }
    s.in_cycle = in_cycle;
    s.cycle_requests = in_cycle ? cycle_requests : 0;
    s.cycle_age_s = in_cycle ? std::chrono::duration<double>(now - cycle_start).count() : 0;
    s.last_duration_ms = last_duration_ms;
    if (sealed_cycles > 0) s.since_last_cycle_s = std::chrono::duration<double>(now - last_cycle_end).count();
    s.cycles = reported_cycles;
    return s;
}

}  // namespace monitor
