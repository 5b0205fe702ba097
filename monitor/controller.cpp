#include "monitor/controller.h"

#include <algorithm>

#include <fmt/format.h>

#include "monitor/clock_text.h"

namespace monitor {

namespace {

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

Controller::Controller(Storage& s, SiteState& st, uint32_t id, Emit e)
    : store(s), site(st), model(*st.Working().model), main_id(id), emit(std::move(e)), link(model, st) {
    book.SetLabeller([this](const Alarm& a) { return label(a); });
}

std::string Controller::label(const Alarm& a) const {
    std::string_view type;
    if (const UnitState* u = site.Working().Unit(a.device)) type = u->device_type;
    if (a.device == main_id && type.empty()) type = model.MainDeviceType();
    return model.AlarmLabel(FactsOf(a, type));
}

void Controller::Attach(std::vector<std::shared_ptr<SMDVDevice>> c) {
    children.clear();
    auto& units = site.Edit().units;
    units.clear();
    for (auto& d : c) {
        if (!d) continue;
        UnitState u;
        u.device = d->DataId();
        u.device_type = d->DeviceType();
        u.kind = model.Unit(u.device_type);
        units.push_back(std::move(u));
        children.push_back(std::move(d));
    }
    snapshot_types.assign(children.size(), 0);
}

const UnitState* Controller::unit_for(const SMDVDevice& d) const {
    for (const auto& u : site.Working().units)
        if (u.device == d.DataId() && u.device_type == d.DeviceType()) return &u;
    return nullptr;
}

UnitReport Controller::decode(const SMDVDevice& device, int type, const std::vector<unsigned char>& bytes) {
    UnitReport r;
    r.device = device.DataId();
    r.device_type = device.DeviceType();
    std::string error;
    if (const model::UnitKind* kind = model.UnitBySnapshot(type))
        r.data = UnitData::Decode(*kind, bytes.data(), bytes.size(), error);
    else
        error = fmt::format("unknown snapshot type {}", type);
    if (!r.data) HostLog(Level::Warning, "host: " + r.device_type + " " + std::to_string(r.device) + ": " + error);
    return r;
}

void Controller::Restore() {
    book.Load(store.LoadActiveAlarms());
    site.Edit().alarms = std::make_shared<const std::vector<Alarm>>(book.List());
    const std::vector<SnapshotRow> rows = store.LoadCache();
    for (size_t i = 0; i < children.size(); ++i) {
        const auto& child = children[i];
        const SnapshotRow* row = nullptr;
        for (const auto& r : rows)
            if (r.device == child->DataId() && r.device_type == child->DeviceType()) row = &r;
        bool ok = false;
        if (row && !row->data.empty())
            ok = child->LoadFromCache(row->data.data(), static_cast<int>(row->data.size()));
        if (ok) {
            UnitState& u = site.Edit().units[i];
            std::string error;
            if (const model::UnitKind* kind = model.UnitBySnapshot(row->type))
                u.data = UnitData::Decode(*kind, row->data.data(), row->data.size(), error);
            u.error = u.data ? "" : error;
            u.seen = true;
            snapshot_types[i] = row->type;
        }
        emit(RestoreEvent{child->DataId(), child->DeviceType(), ok});
    }
}

void Controller::Log(const std::string& rendered) {
    last_log = rendered;
    emit(LogEvent{rendered, LogSource::Log, Level::Info});
}

void Controller::DriverOutput(const std::string& line) { emit(LogEvent{line, LogSource::Stdout, Level::Debug}); }

void Controller::HostLog(Level level, const std::string& text) {
    last_log = text;
    emit(LogEvent{text, LogSource::Log, level});
}

void Controller::PublishSnapshot(SMDVDevice& device, int type, const unsigned char* data, int len, bool) {
    for (size_t i = 0; i < children.size(); ++i)
        if (children[i].get() == &device) snapshot_types[i] = type;
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

void Controller::SaveHistory(SMDVDevice& device, const unsigned char* data, int len) {
    int type = 0;
    for (size_t i = 0; i < children.size(); ++i)
        if (children[i].get() == &device) type = snapshot_types[i];
    SnapshotRow row;
    row.time = NowText();
    row.device = device.DataId();
    row.device_type = device.DeviceType();
    row.type = type;
    if (data && len > 0) row.data.assign(data, data + len);
    UnitReport u = decode(device, type, row.data);
    batch.history.push_back(std::move(row));
    if (std::find(batch_saved.begin(), batch_saved.end(), &device) == batch_saved.end()) {
        batch_saved.push_back(&device);
        batch_units.push_back(std::move(u));
    } else {
        for (auto& b : batch_units)
            if (b.device == u.device && b.device_type == u.device_type) b = std::move(u);
    }
}

bool Controller::EvaluateRules(SMDVDevice& device, const std::vector<rule_value>& rules) {
    for (const auto& r : rules)
        if (r.key == "device_model") model_rule_seen = true;
    add_alarm_changes(book.Evaluate(device.DataId(), rules, NowText()));
    return true;
}

void Controller::add_alarm_changes(std::vector<AlarmChange> changes) {
    for (auto& c : changes) {
        if (c.action != "update") batch_events.push_back(AlarmEvent{c.action, c.alarm});
        batch.alarms.push_back(std::move(c));
        batch_alarms = true;
    }
}

void Controller::note_link() {
    link.Refresh();
    LinkTracker::Changes c = link.Take();
    if (c.info_answered && !model_rule_seen) {
        // The model is supported now: a model alarm from earlier is over.
        std::vector<Alarm> stale;
        for (const auto& [k, a] : book.Active())
            if (a.device == main_id && a.key == "device_model") stale.push_back(a);
        for (const auto& a : stale) add_alarm_changes(book.Set(a, false, NowText()));
    }
    model_rule_seen = false;
    for (bool up : c.link) {
        emit(LinkEvent{up, link.Counters()});
        add_alarm_changes(book.Set(link_lost_alarm(main_id), !up, NowText()));
    }
}

void Controller::AfterDriverCall() {
    // An item that throws leaves the ones after it queued; they still run.
    for (int guard = 0; guard < 1000; ++guard) {
        try {
            RunQueuedWork();
            break;
        } catch (const std::exception& e) {
            HostLog(Level::Error, std::string("host: alarm work item failed: ") + e.what());
        } catch (...) {
            HostLog(Level::Error, "host: alarm work item failed");
        }
    }
    note_link();
    seal_if_complete();
}

void Controller::seal_if_complete() {
    const bool cycle = !children.empty() && batch_saved.size() >= children.size();
    const bool alarms_only = batch.history.empty() && batch.cache.empty() && !batch.alarms.empty();
    if (!cycle && !alarms_only) return;
    // One instant for the line's "time" and the stored rows, so a query of
    // the history finds each cycle at the second its line gave.
    const int64_t at = NowMs();
    if (cycle) {
        link.CycleDone();
        const auto wall = boost::posix_time::second_clock::local_time();
        CycleEvent ev;
        ev.time = OffsetText(at - at % 1000);
        ev.n = ++sealed_cycles;
        ev.duration_ms = site.Working().link.last_duration_ms;
        for (auto& u : batch_units) {
            u.fresh = u.data && u.data->FreshAt(wall);
            u.json = std::make_shared<const std::string>(UnitJson(u.device, u.device_type, u.fresh, u.data.get()));
            // The roll-ups take the values the cycle line calls fresh.
            for (auto& r : batch.history)
                if (r.device == u.device && r.device_type == u.device_type) r.fresh = u.fresh;
        }
        ev.units = batch_units;
        batch_events.push_back(std::move(ev));
    }
    submit(cycle, at);
}

void Controller::submit(bool is_cycle, int64_t at) {
    batch.time = StoredText(at);
    batch.ms = at;
    Pending p;
    p.events = std::move(batch_events);
    p.alarms_changed = batch_alarms;
    p.is_cycle = is_cycle;
    p.units = std::move(batch_units);
    p.tag = store.Submit(std::move(batch));
    pending.push_back(std::move(p));
    batch = Batch{};
    batch_events.clear();
    batch_saved.clear();
    batch_units.clear();
    batch_alarms = false;
}

void Controller::drop_cycles(const std::vector<uint64_t>& tags) {
    // A cycle the store gave up is never reported; its alarm changes still are, once stored.
    for (auto& p : pending)
        if (std::find(tags.begin(), tags.end(), p.tag) != tags.end() && p.is_cycle) {
            p.is_cycle = false;
            p.units.clear();
            std::erase_if(p.events, [](const Event::Body& b) { return std::holds_alternative<CycleEvent>(b); });
        }
}

void Controller::note_storage(const StoreStatus& now) {
    StorageState& s = site.Edit().storage;
    s.ok = now.ok;
    s.reason = now.reason;
    s.held = now.held;
    s.dropped = now.dropped;
    const auto t = std::chrono::steady_clock::now();
    const bool changed = now.ok != storage_said.ok || now.reason != storage_said.reason;
    const bool dropping = now.dropped != storage_said.dropped && t - drop_said >= std::chrono::seconds(60);
    if (!changed && !dropping) return;
    if (dropping) drop_said = t;
    storage_said = now;
    emit(StorageEvent{now.ok, now.reason, now.held, now.dropped});
}

void Controller::OnStoreProgress() {
    store.Drain();
    for (const auto& e : store.TakeErrors()) HostLog(Level::Error, e);
    for (const auto& n : store.TakeNotes()) HostLog(Level::Info, n);
    const StoreProgress progress = store.Progress();
    drop_cycles(progress.dropped);
    note_storage(progress.status);
    const uint64_t done = progress.committed;
    while (!pending.empty() && pending.front().tag <= done) {
        Pending p = std::move(pending.front());
        pending.pop_front();
        SiteSnapshot& s = site.Edit();
        for (auto& u : p.units)
            for (auto& known : s.units)
                if (known.device == u.device && known.device_type == u.device_type) {
                    known.data = u.data;
                    known.seen = true;
                }
        if (p.is_cycle) {
            s.link.cycles = ++reported_cycles;
            s.link.last_cycle_wall = std::chrono::system_clock::now();
        }
        if (p.alarms_changed) s.alarms = std::make_shared<const std::vector<Alarm>>(book.List());
        for (auto& ev : p.events) emit(std::move(ev));
    }
}

void Controller::Finish() {
    AfterDriverCall();
    // Whatever is gathered is stored, even a cycle cut short.
    if (!batch.history.empty() || !batch.cache.empty() || !batch.alarms.empty()) {
        batch_units.clear();
        submit(false, NowMs());
    }
    store.Stop();
    OnStoreProgress();
}

void Controller::FlushStorage() { store.Flush(); }

}  // namespace monitor
