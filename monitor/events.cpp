#include "monitor/events.h"

#include <fmt/format.h>

#include "monitor/json_out.h"

namespace monitor {

namespace {

struct Render {
    JsonOut& o;
    const std::string& time;

    void operator()(const RestoreEvent& e) const {
        o.Field("device", e.device).Field("device_type", e.device_type).Field("event", "restore");
        o.Field("ok", e.ok).Field("time", time);
    }
    void operator()(const CycleEvent& e) const {
        o.Field("duration_ms", e.duration_ms).Field("event", "cycle").Field("n", e.n);
        o.Field("time", e.time.empty() ? time : e.time);
        o.Key("units").List();
        for (const auto& u : e.units) o.Raw(*u.json);
        o.EndList();
    }
    void operator()(const AlarmEvent& e) const {
        const Alarm& a = e.alarm;
        o.Field("action", e.action).Field("code", a.code).Field("detail", a.detail).Field("device", a.device);
        o.Field("event", "alarm").Field("key", a.key).Field("label", a.label).Field("level", int64_t{a.level});
        o.Field("name", a.name).Field("state", int64_t{a.state}).Field("state_text", a.state_text);
        o.Field("time", time);
    }
    void operator()(const LinkEvent& e) const {
        o.Key("counters").Begin();
        auto items = e.counters.items();
        std::sort(items.begin(), items.end());
        for (const auto& [name, n] : items) o.Field(name, n);
        o.End();
        o.Field("event", "link").Field("state", e.up ? "up" : "down").Field("time", time);
    }
    void operator()(const LogEvent& e) const {
        o.Field("event", "log").Field("level", LevelName(e.level));
        o.Field("source", e.source == LogSource::Stdout ? "stdout" : "log");
        o.Field("text", e.text).Field("time", time);
    }
    void operator()(const StorageEvent& e) const {
        o.Field("dropped", e.dropped).Field("event", "storage").Field("held", e.held).Field("reason", e.reason);
        o.Field("state", e.ok ? "ok" : "error").Field("time", time);
    }
    void operator()(const HttpEvent& e) const { o.Field("event", "http").Field("time", time).Field("url", e.url); }
};

}  // namespace

const char* LevelName(Level l) {
    switch (l) {
        case Level::Debug: return "debug";
        case Level::Info: return "info";
        case Level::Warning: return "warning";
        case Level::Error: return "error";
    }
    return "info";
}

const char* Event::Name() const {
    static const char* const names[] = {"restore", "cycle", "alarm", "link", "log", "storage", "http"};
    return names[body.index()];
}

const std::string& Event::Json() const {
    if (json.empty()) {
        JsonOut o(json);
        o.Begin();
        std::visit(Render{o, time}, body);
        o.End();
    }
    return json;
}

void WriteActiveAlarm(JsonOut& o, const Alarm& a) {
    o.Begin();
    o.Field("code", a.code).Field("detail", a.detail).Field("device", a.device).Field("key", a.key);
    o.Field("label", a.label).Field("level", int64_t{a.level}).Field("name", a.name).Field("since", a.since);
    o.Field("state", int64_t{a.state}).Field("state_text", a.state_text);
    o.End();
}

std::string ActiveAlarmsJson(const std::vector<Alarm>& alarms) {
    std::string s;
    JsonOut o(s);
    o.List();
    for (const auto& a : alarms) WriteActiveAlarm(o, a);
    o.EndList();
    return s;
}

std::string UnitJson(uint32_t device, const std::string& device_type, bool fresh, const UnitData* data) {
    std::string s;
    s.reserve(data ? 2048 : 96);
    JsonOut o(s);
    o.Begin().Field("device", device).Field("device_type", device_type).Field("fresh", fresh).Key("values");
    if (data)
        data->WriteValues(o);
    else
        o.Null();
    o.End();
    return s;
}

}  // namespace monitor
