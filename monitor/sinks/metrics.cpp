#include "monitor/sinks/metrics.h"

#include <cmath>
#include <map>
#include <set>
#include <vector>

#include <fmt/format.h>

#include "monitor/models/catalogue.h"

namespace monitor {

namespace {

using model::Kind;

// What a unit measures, by its catalogue unit: the quantity and Prometheus'
// base unit.
struct Quantity {
    std::string_view unit, name;
    double scale;
};
constexpr Quantity kQuantities[] = {
    {"V", "voltage_volts", 1},       {"A", "current_amperes", 1}, {"Hz", "frequency_hertz", 1},
    {"°C", "temperature_celsius", 1}, {"W", "power_watts", 1},     {"%", "ratio", 0.01},
    {"s", "seconds", 1},
};

std::string lower_token(std::string_view s) {
    std::string out;
    for (char ch : s) {
        const auto c = static_cast<unsigned char>(ch);
        out += std::isalnum(c) ? static_cast<char>(std::tolower(c)) : '_';
    }
    return out;
}

// Every sample of a family together, as the format requires.
struct Family {
    std::string help, type;
    std::vector<std::string> samples;
};

std::string number(double v) { return fmt::format("{}", v); }
// A float reading as the controller sent it (7.3214154), not widened (7.321415424346924).
std::string number(const model::Field& f, double v) {
    return f.scalar == model::Scalar::F32 && v == static_cast<double>(static_cast<float>(v))
               ? fmt::format("{}", static_cast<float>(v))
               : number(v);
}

void add_fields(std::map<std::string, Family>& out, const SiteSnapshot& s) {
    const auto wall = boost::posix_time::second_clock::local_time();
    for (const auto& u : s.units) {
        // A stale or missing unit has no sample: the series go stale in
        // Prometheus instead of repeating an old value.
        if (!u.kind || !u.seen || !u.data || !u.data->FreshAt(wall)) continue;
        for (const auto& f : UnitFields(*u.kind, u.device, u.data.get())) {
            const MetricName m = FieldMetric(*u.kind, *f.field);
            if (m.name.empty()) continue;
            const auto v = u.data->Value(*f.field, f.item, f.element);
            if (!v) continue;
            Family& fam = out[m.name];
            if (fam.type.empty()) {
                fam.type = "gauge";
                const std::string unit = *f.field->unit ? fmt::format(" ({})", f.field->unit) : "";
                fam.help = fmt::format("{} {} values{}, one series per field path (labels: /api/fields)",
                                       u.kind->short_name, model::KindName(f.field->kind), unit);
            }
            fam.samples.push_back(fmt::format("{}{{device=\"{}\",field=\"{}\"}} {}", m.name, u.device,
                                              EscapeLabel(f.path), m.scale == 1 ? number(*f.field, *v) : number(*v * m.scale)));
        }
    }
}

void add_alarms(std::map<std::string, Family>& out, const SiteSnapshot& s) {
    Family& fam = out["m520s_alarm_active"];
    fam.type = "gauge";
    fam.help = "1 for each active alarm";
    for (const auto& a : *s.alarms)
        fam.samples.push_back(fmt::format("m520s_alarm_active{{device=\"{}\",key=\"{}\",detail=\"{}\",level=\"{}\"}} 1",
                                          a.device, EscapeLabel(a.key), EscapeLabel(a.detail), a.level));
}

void add_link(std::map<std::string, Family>& out, const SiteSnapshot& s) {
    out["m520s_link_up"] = {"1 while the controller answers", "gauge",
                            {fmt::format("m520s_link_up {}", s.link.known && s.link.up ? 1 : 0)}};
    out["m520s_cycles_total"] = {"polling cycles completed and stored since start", "counter",
                                 {fmt::format("m520s_cycles_total {}", s.link.cycles)}};
    // The counters that are no reason for dropping a frame.
    static const std::set<std::string> not_reasons{"answers",  "error_answers", "rejected", "garbage_bytes",
                                                   "timeouts", "retransmits",   "give_ups", "stalls"};
    Family& rej = out["m520s_frames_rejected_total"];
    rej.help = "frames the line layer dropped since start, by reason";
    rej.type = "counter";
    for (const auto& [name, n] : s.link.counters.items())
        if (!not_reasons.count(name))
            rej.samples.push_back(fmt::format("m520s_frames_rejected_total{{reason=\"{}\"}} {}", EscapeLabel(name), n));
}

void add_histogram(std::map<std::string, Family>& out, const CycleHistogram::Counts& c) {
    Family& h = out["m520s_cycle_duration_seconds"];
    h.help = "duration of a polling cycle, first request to completion";
    h.type = "histogram";
    const std::string n = "m520s_cycle_duration_seconds";
    for (size_t i = 0; i < CycleHistogram::kBounds.size(); ++i)
        h.samples.push_back(fmt::format("{}_bucket{{le=\"{}\"}} {}", n, number(CycleHistogram::kBounds[i]), c.le[i]));
    h.samples.push_back(fmt::format("{}_bucket{{le=\"+Inf\"}} {}", n, c.count));
    h.samples.push_back(fmt::format("{}_sum {}", n, number(c.sum)));
    h.samples.push_back(fmt::format("{}_count {}", n, c.count));
}

}  // namespace

void CycleHistogram::Add(double seconds) {
    std::lock_guard<std::mutex> l(lock);
    for (size_t i = 0; i < kBounds.size(); ++i)
        if (seconds <= kBounds[i]) ++counts.le[i];
    ++counts.count;
    counts.sum += seconds;
}

CycleHistogram::Counts CycleHistogram::Get() const {
    std::lock_guard<std::mutex> l(lock);
    return counts;
}

MetricName FieldMetric(const model::UnitKind& k, const model::Field& f) {
    const std::string base = "m520s_" + lower_token(k.short_name) + "_";
    switch (f.kind) {
        case Kind::Id:
        case Kind::Text:
        case Kind::Time: return {};
        case Kind::State: return {base + "state"};
        // "_count" is the histogram's suffix; these count list entries.
        case Kind::Count: return {base + "entries"};
        case Kind::Parameter:
        case Kind::Measurement: break;
    }
    const std::string what = f.kind == Kind::Parameter ? "parameter" : "";
    for (const auto& q : kQuantities)
        if (q.unit == f.unit) return {base + (what.empty() ? "" : what + "_") + std::string(q.name), q.scale};
    return {base + (what.empty() ? "value" : what)};
}

std::string EscapeLabel(std::string_view v) {
    std::string out;
    out.reserve(v.size());
    for (char ch : v) {
        if (ch == '\\')
            out += "\\\\";
        else if (ch == '"')
            out += "\\\"";
        else if (ch == '\n')
            out += "\\n";
        else
            out += ch;
    }
    return out;
}

std::string MetricsText(const SiteSnapshot& s, const CycleHistogram::Counts& cycles) {
    std::map<std::string, Family> families;
    add_fields(families, s);
    add_alarms(families, s);
    add_link(families, s);
    add_histogram(families, cycles);
    std::string out;
    out.reserve(65536);
    for (const auto& [name, f] : families) {
        out += "# HELP " + name + " " + f.help + "\n# TYPE " + name + " " + f.type + "\n";
        for (const auto& line : f.samples) out += line + "\n";
    }
    return out;
}

}  // namespace monitor
