#include "sim/scenario.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <initializer_list>
#include <numbers>
#include <string_view>
#include <vector>

#include <fmt/format.h>

#include "sim/answers.h"
#include "sim/encoder.h"

namespace sim {

namespace {

constexpr std::string_view kFaultNames[kFaultKinds] = {
    "silence", "bad_chksum", "bad_lchksum",    "garbage",    "split", "double",
    "error_rtn", "wrong_cid1", "count_mismatch", "short_info", "late",
};

// Waves of different values get phases from their key, so a site does not
// rise and fall in step and a written-out scenario reads back the same.
double phase_of(const std::string& path) {
    uint32_t h = 2166136261u;
    for (unsigned char c : path) h = (h ^ c) * 16777619u;
    return (h % 10000) / 10000.0 * 2 * std::numbers::pi;
}

std::string join(const std::string& path, const std::string& key) { return common::Member(path, key); }
std::string index(const std::string& path, size_t i) { return common::Element(path, i); }

// Reads one scenario document through the shared checker: what a scenario
// adds to it is its values, unit lists and defaults.
class Reader {
public:
    explicit Reader(std::string src) : source(std::move(src)), check(source) {}

    [[noreturn]] void fail(const std::string& path, std::string_view expected, const Json::Value& found) const {
        check.Fail(path, expected, found);
    }

    // Any object may also hold a "comment" text.
    void object(const Json::Value& v, const std::string& path, std::string_view what,
                std::initializer_list<std::string_view> keys) const {
        std::vector<std::string_view> known(keys);
        known.push_back("comment");
        check.Object(v, path, known, what);
        if (v.isMember("comment"))
            check.Text(v["comment"], join(path, "comment"), {.allow_empty = true, .allow_nul = true});
    }

    uint64_t unsigned_int(const Json::Value& v, const std::string& path, uint64_t lo, uint64_t hi) const {
        return static_cast<uint64_t>(check.Integer(v, path, static_cast<int64_t>(lo), static_cast<int64_t>(hi)));
    }
    uint8_t byte(const Json::Value& v, const std::string& path) const { return check.Byte(v, path); }
    uint8_t byte_or_hex(const Json::Value& v, const std::string& path) const { return check.ByteOrHex(v, path); }
    double number(const Json::Value& v, const std::string& path, double lo, double hi) const {
        return check.Number(v, path, lo, hi);
    }

    WireFloat wire_float(const Json::Value& v, const std::string& path) const {
        WireFloat w;
        w.phase = phase_of(path);
        if (v.isNumeric() && !v.isBool()) {
            w.mean = number(v, path, -3.4e38, 3.4e38);
            return w;
        }
        if (!v.isObject()) fail(path, "a number, {\"mean\", \"swing\", \"period_s\"} or {\"raw\": hex}", v);
        if (v.isMember("raw")) {
            object(v, path, "a raw value", {"raw"});
            const auto b = check.HexBytes(v["raw"], join(path, "raw"), 4);
            w.raw.emplace();
            std::copy(b.begin(), b.end(), w.raw->begin());
            return w;
        }
        object(v, path, "a varying value", {"mean", "swing", "period_s"});
        w.mean = number(check.Require(v, path, "mean", "a number"), join(path, "mean"), -3.4e38, 3.4e38);
        if (v.isMember("swing")) w.swing = number(v["swing"], join(path, "swing"), 0, 3.4e38);
        if (v.isMember("period_s")) w.period_s = number(v["period_s"], join(path, "period_s"), 0.1, 1e9);
        return w;
    }

    std::vector<WireFloat> floats(const Json::Value& v, const std::string& path, size_t max) const {
        check.Array(v, path, fmt::format("an array of at most {} values", max), max);
        std::vector<WireFloat> out;
        for (Json::ArrayIndex i = 0; i < v.size(); ++i) out.push_back(wire_float(v[i], index(path, i)));
        return out;
    }

    std::vector<uint8_t> bytes(const Json::Value& v, const std::string& path, size_t max) const {
        check.Array(v, path, fmt::format("an array of at most {} bytes", max), max);
        std::vector<uint8_t> out;
        for (Json::ArrayIndex i = 0; i < v.size(); ++i) out.push_back(byte(v[i], index(path, i)));
        return out;
    }

    // A list of units: an array of objects, or a count of default ones.
    template <class T, class Parse>
    std::vector<T> units(const Json::Value& v, const std::string& path, size_t dflt, size_t max, Parse parse) const {
        std::vector<T> out;
        if (v.isNull()) {
            for (size_t i = 0; i < dflt; ++i) out.push_back(parse(Json::Value(Json::objectValue), index(path, i), i));
            return out;
        }
        if (v.isIntegral() && !v.isBool()) {
            const size_t n = unsigned_int(v, path, 0, max);
            for (size_t i = 0; i < n; ++i) out.push_back(parse(Json::Value(Json::objectValue), index(path, i), i));
            return out;
        }
        check.Array(v, path, fmt::format("a count or an array of at most {} objects", max), max);
        for (Json::ArrayIndex i = 0; i < v.size(); ++i) out.push_back(parse(v[i], index(path, i), i));
        return out;
    }

    // Optional member: parsed if present, else the default.
    template <class T, class Parse>
    T member(const Json::Value& obj, const char* key, const std::string& path, T dflt, Parse parse) const {
        if (!obj.isMember(key)) return dflt;
        return parse(obj[key], join(path, key));
    }

    WireFloat wave(const Json::Value& obj, const char* key, const std::string& path, double mean, double swing,
                   double period_s) const {
        if (obj.isMember(key)) return wire_float(obj[key], join(path, key));
        WireFloat w;
        w.mean = mean;
        w.swing = swing;
        w.period_s = period_s;
        w.phase = phase_of(join(path, key));
        return w;
    }

    std::vector<WireFloat> wave_list(const Json::Value& obj, const char* key, const std::string& path, size_t max,
                                     std::initializer_list<std::array<double, 3>> dflt) const {
        if (obj.isMember(key)) return floats(obj[key], join(path, key), max);
        std::vector<WireFloat> out;
        size_t i = 0;
        for (const auto& d : dflt) {
            WireFloat w;
            w.mean = d[0];
            w.swing = d[1];
            w.period_s = d[2];
            w.phase = phase_of(index(join(path, key), i++));
            out.push_back(w);
        }
        return out;
    }

    std::vector<uint8_t> byte_list(const Json::Value& obj, const char* key, const std::string& path, size_t max,
                                   size_t dflt_zeros) const {
        if (obj.isMember(key)) return bytes(obj[key], join(path, key), max);
        return std::vector<uint8_t>(dflt_zeros, 0);
    }

    uint8_t state(const Json::Value& obj, const char* key, const std::string& path) const {
        return obj.isMember(key) ? byte(obj[key], join(path, key)) : 0;
    }

    DataFlag flag(const Json::Value& v, const std::string& path) const {
        DataFlag f;
        if (v.isString() && v.asString() == "auto") return f;
        if (v.isString()) fail(path, "\"auto\" or an integer from 0 to 255", v);
        f.automatic = false;
        f.value = byte(v, path);
        return f;
    }

    const std::string source;
    const common::JsonChecker check;
};

// Room in one answer: INFO carries at most kMaxInfo bytes, so the counts are
// bounded well below what would overflow it only by the encoder's check.
constexpr size_t kMaxList = 255;

AcChannel parse_channel(const Reader& r, const Json::Value& v, const std::string& path, size_t panel, size_t k) {
    r.object(v, path, "an AC channel",
             {"a", "b", "c", "f", "p40_41_value", "a_state", "b_state", "c_state", "f_state", "p40_44_skipped",
              "p40_44_state"});
    AcChannel c;
    // Phase voltages a little apart from each other, as on a real feed.
    const double base = 230.0 + 0.6 * static_cast<double>(panel) - 0.3 * static_cast<double>(k);
    c.a = r.wave(v, "a", path, base + 0.4, 1.2, 90);
    c.b = r.wave(v, "b", path, base - 0.2, 1.2, 97);
    c.c = r.wave(v, "c", path, base + 0.9, 1.2, 83);
    c.f = r.wave(v, "f", path, 50.0, 0.05, 47);
    c.p40_41_value = r.wave_list(v, "p40_41_value", path, kMaxList, {});
    c.a_state = r.state(v, "a_state", path);
    c.b_state = r.state(v, "b_state", path);
    c.c_state = r.state(v, "c_state", path);
    c.f_state = r.state(v, "f_state", path);
    c.p40_44_skipped = r.byte_list(v, "p40_44_skipped", path, kMaxList, 0);
    c.p40_44_state = r.byte_list(v, "p40_44_state", path, kMaxList, 8);
    return c;
}

AcPanel parse_ac_panel(const Reader& r, const Json::Value& v, const std::string& path, size_t p) {
    r.object(v, path, "an AC panel",
             {"channels", "ia", "ib", "ic", "ia_alert", "ib_alert", "ic_alert", "airlock_state", "p40_43_state"});
    AcPanel a;
    const Json::Value& ch = v.isMember("channels") ? v["channels"] : Json::Value::nullSingleton();
    a.channels = r.units<AcChannel>(ch, join(path, "channels"), 3, 255,
                                    [&](const Json::Value& c, const std::string& cp, size_t k) {
                                        return parse_channel(r, c, cp, p, k);
                                    });
    const double load = p == 0 ? 7.6 : 7.2;
    a.ia = r.wave(v, "ia", path, load, 0.3, 75);
    a.ib = r.wave(v, "ib", path, load - 0.2, 0.3, 71);
    a.ic = r.wave(v, "ic", path, load + 0.2, 0.3, 79);
    a.ia_alert = r.state(v, "ia_alert", path);
    a.ib_alert = r.state(v, "ib_alert", path);
    a.ic_alert = r.state(v, "ic_alert", path);
    a.airlock_state = r.byte_list(v, "airlock_state", path, kMaxList, 0);
    a.p40_43_state = r.byte_list(v, "p40_43_state", path, kMaxList, 3);
    return a;
}

DcPanel parse_dc_panel(const Reader& r, const Json::Value& v, const std::string& path, size_t p) {
    r.object(v, path, "a DC panel",
             {"v", "i", "dc_m_value", "dc_n_value", "user_p", "v_state", "alert_m_state", "alert_p_state"});
    DcPanel d;
    d.v = r.wave(v, "v", path, 53.5, 0.05, 120);
    // Two load feeds of 96 A and 84 A: what the 8 rectifier modules deliver.
    d.i = r.wave(v, "i", path, p == 0 ? 96.0 : 84.0, 2.5, 60);
    // Battery currents (charging) and, as user values, battery and room temperatures.
    d.dc_m_value = r.wave_list(v, "dc_m_value", path, kMaxList, {{2.4, 0.2, 110}, {2.2, 0.2, 130}});
    d.dc_n_value = r.wave_list(v, "dc_n_value", path, kMaxList, {});
    d.user_p = r.wave_list(v, "user_p", path, kMaxList, {{25.5, 0.3, 600}, {24.0, 0.4, 900}});
    d.v_state = r.state(v, "v_state", path);
    d.alert_m_state = r.byte_list(v, "alert_m_state", path, kMaxList, 2);
    d.alert_p_state = r.byte_list(v, "alert_p_state", path, kMaxList, 71);
    return d;
}

RectifierModule parse_module(const Reader& r, const Json::Value& v, const std::string& path, size_t n) {
    r.object(v, path, "a rectifier module",
             {"module_value", "p41_41_value", "module_state", "p41_43_state", "fault_state", "p41_44_state"});
    RectifierModule m;
    // Output current, the modules sharing the 180 A load.
    m.module_value = r.wave(v, "module_value", path, 22.5, 0.6, 60 + 5 * static_cast<double>(n));
    // Output voltage, temperature, AC input voltage, current limit (%), three spare.
    const double temp = 38.0 + 0.4 * static_cast<double>(n);
    m.p41_41_value =
        r.wave_list(v, "p41_41_value", path, kMaxList,
                    {{53.5, 0.05, 120}, {temp, 0.5, 300}, {230.5, 1.2, 90}, {100, 0, 60}, {0, 0, 60}, {0, 0, 60},
                     {0, 0, 60}});
    if (v.isMember("module_state")) {
        const auto s = r.bytes(v["module_state"], join(path, "module_state"), 3);
        if (s.size() != 3) r.fail(join(path, "module_state"), "an array of 3 bytes", v["module_state"]);
        std::copy(s.begin(), s.end(), m.module_state.begin());
    }
    m.p41_43_state = r.byte_list(v, "p41_43_state", path, kMaxList, 6);
    m.fault_state = r.state(v, "fault_state", path);
    m.p41_44_state = r.byte_list(v, "p41_44_state", path, kMaxList, 8);
    return m;
}

template <size_t N>
std::array<WireFloat, N> fixed_floats(const Reader& r, const Json::Value& doc, const char* key,
                                      std::array<double, N> dflt) {
    std::array<WireFloat, N> out;
    if (!doc.isMember(key)) {
        for (size_t i = 0; i < N; ++i) out[i].mean = dflt[i];
        return out;
    }
    const Json::Value& v = doc[key];
    if (!v.isArray() || v.size() != N) r.fail(key, fmt::format("an array of {} values", N), v);
    for (Json::ArrayIndex i = 0; i < N; ++i) out[i] = r.wire_float(v[i], index(key, i));
    return out;
}

std::map<Fault, double> parse_probabilities(const Reader& r, const Json::Value& v, const std::string& path) {
    r.check.Object(v, path, kFaultNames, "an object of fault names and probabilities");
    std::map<Fault, double> out;
    for (const auto& name : v.getMemberNames()) out[*fault_by_name(name)] = r.number(v[name], join(path, name), 0, 1);
    return out;
}

TimelineEvent parse_event(const Reader& r, const Json::Value& v, const std::string& path) {
    r.object(v, path, "a time line event",
             {"at_cycle", "after_s", "answer", "set", "modules", "restart", "fault", "answers", "for_s", "faults"});
    TimelineEvent e;
    e.raw = v;
    if (v.isMember("at_cycle") == v.isMember("after_s"))
        r.fail(path, "exactly one of \"at_cycle\" and \"after_s\"", v);
    if (v.isMember("at_cycle")) e.at_cycle = r.unsigned_int(v["at_cycle"], join(path, "at_cycle"), 1, UINT32_MAX);
    if (v.isMember("after_s")) e.after_s = r.number(v["after_s"], join(path, "after_s"), 0, 1e9);
    if (v.isMember("answer")) e.answer = r.unsigned_int(v["answer"], join(path, "answer"), 1, UINT32_MAX);
    if (v.isMember("set")) {
        if (!v["set"].isObject()) r.fail(join(path, "set"), "an object of key paths and values", v["set"]);
        e.set = v["set"];
    }
    if (v.isMember("modules")) e.modules = r.unsigned_int(v["modules"], join(path, "modules"), 0, 255);
    if (v.isMember("restart")) {
        const Json::Value& rs = v["restart"];
        if (rs.isBool() && rs.asBool()) e.restart_s = -1;  // the scenario's restart_s
        else if (rs.isNumeric() && !rs.isBool()) e.restart_s = r.number(rs, join(path, "restart"), 0, 3600);
        else r.fail(join(path, "restart"), "true or a number of seconds", rs);
    }
    if (v.isMember("fault")) {
        const Json::Value& f = v["fault"];
        std::vector<Json::Value> names;
        if (f.isArray())
            for (const auto& x : f) names.push_back(x);
        else
            names.push_back(f);
        if (names.empty()) r.fail(join(path, "fault"), "a fault name or an array of them", f);
        for (size_t i = 0; i < names.size(); ++i) {
            const std::string p = f.isArray() ? index(join(path, "fault"), i) : join(path, "fault");
            e.faults.push_back(*fault_by_name(r.check.OneOf(names[i], p, kFaultNames, "a fault name")));
        }
    }
    if (v.isMember("answers")) e.answers = r.unsigned_int(v["answers"], join(path, "answers"), 1, UINT32_MAX);
    if (v.isMember("for_s")) e.for_s = r.number(v["for_s"], join(path, "for_s"), 0, 1e9);
    if ((v.isMember("answers") || v.isMember("for_s")) && e.faults.empty())
        r.fail(path, "\"fault\" beside \"answers\" or \"for_s\"", v);
    if (v.isMember("answers") && v.isMember("for_s")) r.fail(path, "one of \"answers\" and \"for_s\"", v);
    if (v.isMember("faults")) e.probabilities = parse_probabilities(r, v["faults"], join(path, "faults"));
    return e;
}

Json::Value float_json(const WireFloat& w) {
    if (w.raw) {
        Json::Value o(Json::objectValue);
        o["raw"] = to_hex(Bytes(w.raw->begin(), w.raw->end()));
        return o;
    }
    if (w.swing == 0) return Json::Value(w.mean);
    Json::Value o(Json::objectValue);
    o["mean"] = w.mean;
    o["swing"] = w.swing;
    o["period_s"] = w.period_s;
    return o;
}

template <class C>
Json::Value floats_json(const C& list) {
    Json::Value a(Json::arrayValue);
    for (const auto& w : list) a.append(float_json(w));
    return a;
}

template <class C>
Json::Value bytes_json(const C& list) {
    Json::Value a(Json::arrayValue);
    for (uint8_t b : list) a.append(b);
    return a;
}

Json::Value flag_json(const DataFlag& f) { return f.automatic ? Json::Value("auto") : Json::Value(f.value); }

// Path of a "set": keys and [index] steps, e.g. ac[0].channels[1].a_state.
Json::Value* resolve(Json::Value& doc, const std::string& path) {
    Json::Value* at = &doc;
    size_t i = 0;
    while (i < path.size()) {
        if (path[i] == '[') {
            const size_t close = path.find(']', i);
            if (close == std::string::npos || !at->isArray()) return nullptr;
            const std::string num = path.substr(i + 1, close - i - 1);
            if (num.empty() || num.find_first_not_of("0123456789") != std::string::npos || num.size() > 6)
                return nullptr;
            const auto k = static_cast<Json::ArrayIndex>(std::stoul(num));
            if (k >= at->size()) return nullptr;
            at = &(*at)[k];
            i = close + 1;
            if (i < path.size() && path[i] == '.') ++i;
            continue;
        }
        const size_t end = path.find_first_of(".[", i);
        const std::string key = path.substr(i, end == std::string::npos ? std::string::npos : end - i);
        if (key.empty() || !at->isObject() || !at->isMember(key)) return nullptr;
        at = &(*at)[key];
        i = end == std::string::npos ? path.size() : end;
        if (i < path.size() && path[i] == '.') ++i;
    }
    return at;
}

}  // namespace

const char* fault_name(Fault f) { return kFaultNames[static_cast<size_t>(f)].data(); }

std::optional<Fault> fault_by_name(const std::string& name) {
    for (size_t i = 0; i < kFaultKinds; ++i)
        if (name == kFaultNames[i]) return static_cast<Fault>(i);
    return std::nullopt;
}

float WireFloat::value_at(double t) const {
    if (swing == 0) return static_cast<float>(mean);
    return static_cast<float>(mean + swing * std::sin(2 * std::numbers::pi * t / period_s + phase));
}

std::array<uint8_t, 4> WireFloat::bytes_at(double t) const {
    if (raw) return *raw;
    const float f = value_at(t);
    std::array<uint8_t, 4> out;
    std::memcpy(out.data(), &f, 4);  // the wire is little-endian, as is every supported target
    return out;
}

Site Scenario::parse_site(const Json::Value& doc, const std::string& source) {
    Reader r(source);
    Site s;
    s.address = r.member<uint8_t>(doc, "address", "", 1, [&](const auto& v, const auto& p) { return r.byte(v, p); });
    s.version = r.member<uint8_t>(doc, "version", "", 0x20, [&](const auto& v, const auto& p) { return r.byte_or_hex(v, p); });
    // Padded to 20 bytes on the wire; any byte may be what a controller sends.
    if (doc.isMember("model"))
        s.model = r.check.Text(doc["model"], "model", {.allow_empty = true, .max_bytes = 20, .allow_nul = true});
    if (doc.isMember("data_flags")) {
        const Json::Value& f = doc["data_flags"];
        r.object(f, "data_flags", "the data flags", {"ac", "rectifier", "dc"});
        if (f.isMember("ac")) s.ac_flag = r.flag(f["ac"], "data_flags.ac");
        if (f.isMember("rectifier")) s.rc_flag = r.flag(f["rectifier"], "data_flags.rectifier");
        if (f.isMember("dc")) s.dc_flag = r.flag(f["dc"], "data_flags.dc");
    }
    const auto& nul = Json::Value::nullSingleton();
    s.ac = r.units<AcPanel>(doc.isMember("ac") ? doc["ac"] : nul, "ac", 2, 255,
                            [&](const Json::Value& v, const std::string& p, size_t i) {
                                return parse_ac_panel(r, v, p, i);
                            });
    s.dc = r.units<DcPanel>(doc.isMember("dc") ? doc["dc"] : nul, "dc", 2, 255,
                            [&](const Json::Value& v, const std::string& p, size_t i) {
                                return parse_dc_panel(r, v, p, i);
                            });
    const Json::Value rc = doc.isMember("rectifier") ? doc["rectifier"] : Json::Value(Json::objectValue);
    r.object(rc, "rectifier", "the rectifier group", {"group_value", "modules"});
    s.rectifier.group_value = r.wave(rc, "group_value", "rectifier", 53.5, 0.05, 120);
    s.rectifier.modules = r.units<RectifierModule>(rc.isMember("modules") ? rc["modules"] : nul, "rectifier.modules",
                                                   8, 255, [&](const Json::Value& v, const std::string& p, size_t i) {
                                                       return parse_module(r, v, p, i);
                                                   });
    // Limits the controller reports: AC over/under voltage, frequency high/low,
    // input current limit; DC over/under voltage.
    s.ac_param = fixed_floats<5>(r, doc, "ac_param", {280.0, 176.0, 55.0, 45.0, 63.0});
    if (doc.isMember("ac_param_user")) s.ac_param_user = r.floats(doc["ac_param_user"], "ac_param_user", kMaxList);
    s.dc_param = fixed_floats<2>(r, doc, "dc_param", {57.6, 45.0});
    if (doc.isMember("dc_param_user")) s.dc_param_user = r.floats(doc["dc_param_user"], "dc_param_user", kMaxList);
    return s;
}

Scenario Scenario::parse(const Json::Value& doc, const std::string& source) {
    Reader r(source);
    r.object(doc, "", "a JSON object",
             {"address", "version", "model", "data_flags", "ac", "dc", "rectifier", "ac_param", "ac_param_user",
              "dc_param", "dc_param_user", "faults", "fault_options", "timeline"});
    Scenario sc;
    sc.source = source;
    sc.site = parse_site(doc, source);
    check_answer_sizes(sc.site, source);
    if (doc.isMember("faults")) sc.probabilities = parse_probabilities(r, doc["faults"], "faults");
    if (doc.isMember("fault_options")) {
        const Json::Value& o = doc["fault_options"];
        r.object(o, "fault_options", "the fault options",
                 {"late_ms", "split_gap_ms", "error_rtn", "garbage_max", "restart_s"});
        auto& opt = sc.options;
        if (o.isMember("late_ms")) opt.late_ms = static_cast<int>(r.unsigned_int(o["late_ms"], "fault_options.late_ms", 0, 600000));
        if (o.isMember("split_gap_ms"))
            opt.split_gap_ms = static_cast<int>(r.unsigned_int(o["split_gap_ms"], "fault_options.split_gap_ms", 0, 60000));
        if (o.isMember("error_rtn"))
            opt.error_rtn = static_cast<uint8_t>(r.unsigned_int(o["error_rtn"], "fault_options.error_rtn", 1, 255));
        if (o.isMember("garbage_max"))
            opt.garbage_max = static_cast<int>(r.unsigned_int(o["garbage_max"], "fault_options.garbage_max", 1, 4096));
        if (o.isMember("restart_s")) opt.restart_s = r.number(o["restart_s"], "fault_options.restart_s", 0, 3600);
    }
    if (doc.isMember("timeline")) {
        const Json::Value& t = doc["timeline"];
        if (!t.isArray()) r.fail("timeline", "an array of events", t);
        for (Json::ArrayIndex i = 0; i < t.size(); ++i) sc.timeline.push_back(parse_event(r, t[i], index("timeline", i)));
    }
    // Every change must apply; try them in file order on a copy so a bad key
    // is refused at load time, not in the middle of a run.
    Scenario trial = sc;
    for (size_t i = 0; i < sc.timeline.size(); ++i) trial.apply_changes(sc.timeline[i], i);
    return sc;
}

Scenario Scenario::reference() { return parse(Json::Value(Json::objectValue), "(built-in)"); }

Scenario Scenario::load_file(const std::string& path) { return parse(common::LoadDocument(path), path); }

Json::Value site_to_json(const Site& s) {
    Json::Value d(Json::objectValue);
    d["address"] = s.address;
    d["version"] = s.version;
    d["model"] = s.model;
    d["data_flags"]["ac"] = flag_json(s.ac_flag);
    d["data_flags"]["rectifier"] = flag_json(s.rc_flag);
    d["data_flags"]["dc"] = flag_json(s.dc_flag);
    d["ac"] = Json::Value(Json::arrayValue);
    for (const auto& p : s.ac) {
        Json::Value o(Json::objectValue);
        o["channels"] = Json::Value(Json::arrayValue);
        for (const auto& c : p.channels) {
            Json::Value x(Json::objectValue);
            x["a"] = float_json(c.a);
            x["b"] = float_json(c.b);
            x["c"] = float_json(c.c);
            x["f"] = float_json(c.f);
            x["p40_41_value"] = floats_json(c.p40_41_value);
            x["a_state"] = c.a_state;
            x["b_state"] = c.b_state;
            x["c_state"] = c.c_state;
            x["f_state"] = c.f_state;
            x["p40_44_skipped"] = bytes_json(c.p40_44_skipped);
            x["p40_44_state"] = bytes_json(c.p40_44_state);
            o["channels"].append(x);
        }
        o["ia"] = float_json(p.ia);
        o["ib"] = float_json(p.ib);
        o["ic"] = float_json(p.ic);
        o["ia_alert"] = p.ia_alert;
        o["ib_alert"] = p.ib_alert;
        o["ic_alert"] = p.ic_alert;
        o["airlock_state"] = bytes_json(p.airlock_state);
        o["p40_43_state"] = bytes_json(p.p40_43_state);
        d["ac"].append(o);
    }
    d["dc"] = Json::Value(Json::arrayValue);
    for (const auto& p : s.dc) {
        Json::Value o(Json::objectValue);
        o["v"] = float_json(p.v);
        o["i"] = float_json(p.i);
        o["dc_m_value"] = floats_json(p.dc_m_value);
        o["dc_n_value"] = floats_json(p.dc_n_value);
        o["user_p"] = floats_json(p.user_p);
        o["v_state"] = p.v_state;
        o["alert_m_state"] = bytes_json(p.alert_m_state);
        o["alert_p_state"] = bytes_json(p.alert_p_state);
        d["dc"].append(o);
    }
    d["rectifier"]["group_value"] = float_json(s.rectifier.group_value);
    d["rectifier"]["modules"] = Json::Value(Json::arrayValue);
    for (const auto& m : s.rectifier.modules) {
        Json::Value o(Json::objectValue);
        o["module_value"] = float_json(m.module_value);
        o["p41_41_value"] = floats_json(m.p41_41_value);
        o["module_state"] = bytes_json(m.module_state);
        o["p41_43_state"] = bytes_json(m.p41_43_state);
        o["fault_state"] = m.fault_state;
        o["p41_44_state"] = bytes_json(m.p41_44_state);
        d["rectifier"]["modules"].append(o);
    }
    d["ac_param"] = floats_json(s.ac_param);
    d["ac_param_user"] = floats_json(s.ac_param_user);
    d["dc_param"] = floats_json(s.dc_param);
    d["dc_param_user"] = floats_json(s.dc_param_user);
    return d;
}

Json::Value Scenario::to_json() const {
    Json::Value d = site_to_json(site);
    d["faults"] = Json::Value(Json::objectValue);
    for (const auto& [f, p] : probabilities) d["faults"][fault_name(f)] = p;
    d["fault_options"]["late_ms"] = options.late_ms;
    d["fault_options"]["split_gap_ms"] = options.split_gap_ms;
    d["fault_options"]["error_rtn"] = options.error_rtn;
    d["fault_options"]["garbage_max"] = options.garbage_max;
    d["fault_options"]["restart_s"] = options.restart_s;
    d["timeline"] = Json::Value(Json::arrayValue);
    for (const auto& e : timeline) d["timeline"].append(e.raw);
    return d;
}

void Scenario::apply_changes(const TimelineEvent& e, size_t i) {
    if (e.set.isNull() && !e.modules) return;
    const std::string where = fmt::format("timeline[{}]", i);
    // One key after the other, each on the site the one before left, so a
    // count change is a list of that many units for the keys after it.
    auto reparse = [&](const Json::Value& doc, const std::string& key) {
        try {
            Site next = parse_site(doc, source);
            check_answer_sizes(next, source);
            site = std::move(next);
        } catch (const ScenarioError& err) {
            throw ScenarioError(source, where + "." + (key.empty() ? err.path : "set." + err.path), err.expected,
                                err.found);
        }
    };
    for (const auto& key : e.set.getMemberNames()) {
        Json::Value doc = site_to_json(site);
        Json::Value* target = resolve(doc, key);
        if (!target) throw ScenarioError(source, join(where + ".set", key), "a key path of the site", "no such key");
        *target = e.set[key];
        reparse(doc, key);
    }
    if (e.modules) {
        Json::Value doc = site_to_json(site);
        Json::Value& list = doc["rectifier"]["modules"];
        const Json::Value last = list.empty() ? Json::Value(Json::objectValue) : list[list.size() - 1];
        while (list.size() > *e.modules) list.removeIndex(list.size() - 1, nullptr);
        while (list.size() < *e.modules) list.append(last);
        reparse(doc, "");
    }
}

}  // namespace sim
