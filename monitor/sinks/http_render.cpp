#include "monitor/sinks/http_render.h"

#include <algorithm>

#include "monitor/clock_text.h"
#include "monitor/events.h"
#include "monitor/json_out.h"
#include "monitor/models/catalogue.h"

namespace monitor {

const char* LinkStateName(const LinkState& l) { return !l.known ? "unknown" : l.up ? "up" : "down"; }

std::string StateJson(const SiteSnapshot& s) {
    std::string out;
    out.reserve(16384);
    JsonOut o(out);
    o.Begin();
    o.Key("alarms").Raw(ActiveAlarmsJson(*s.alarms));
    o.Key("cycle").Begin();
    o.Key("duration_ms");
    s.link.last_duration_ms >= 0 ? o.Int(s.link.last_duration_ms) : o.Null();
    o.Field("n", s.link.cycles).End();
    o.Key("link").Begin().Key("counters").Begin();
    auto items = s.link.counters.items();
    std::sort(items.begin(), items.end());
    for (const auto& [name, n] : items) o.Field(name, n);
    o.End().Field("state", LinkStateName(s.link)).End();
    o.Field("model", s.model_text).Field("time", EventTime());
    o.Key("units").List();
    const auto wall = boost::posix_time::second_clock::local_time();
    for (const auto& u : s.units) {
        const UnitData* d = u.seen ? u.data.get() : nullptr;
        o.Raw(UnitJson(u.device, u.device_type, d && d->FreshAt(wall), d));
    }
    o.EndList().End();
    return out;
}

std::string FieldsJson(const SiteSnapshot& s) {
    std::string out;
    out.reserve(65536);
    JsonOut o(out);
    o.List();
    for (const auto& u : s.units) {
        if (!u.kind) continue;
        const UnitData* d = u.seen ? u.data.get() : nullptr;
        for (const auto& f : UnitFields(*u.kind, u.device, d)) {
            o.Begin().Field("device", u.device).Field("device_type", u.device_type).Field("field", f.path);
            o.Field("kind", model::KindName(f.field->kind)).Field("label", f.label);
            o.Field("precision", int64_t{f.field->precision}).Field("unit", f.field->unit).End();
        }
    }
    o.EndList();
    return out;
}

std::string StateTextsJson(const model::Model& m) {
    std::string out;
    JsonOut o(out);
    o.Begin();
    for (const auto& k : m.Units()) {
        o.Key(k.device_type).Begin();
        for (const model::Record* r : {&k.head, k.items}) {
            if (!r) continue;
            for (const auto& f : r->fields) {
                if (f.states.empty()) continue;
                o.Key(f.name).Begin();
                for (const auto& st : f.states) o.Field(std::to_string(st.value), st.en);
                o.End();
            }
        }
        o.End();
    }
    o.End();
    return out;
}

}  // namespace monitor
