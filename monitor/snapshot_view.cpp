#include "monitor/snapshot_view.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <type_traits>

#include <fmt/format.h>

#include "ac/tele_ac.h"
#include "dc/tele_dc.h"
#include "rc/tele_rc.h"

namespace monitor {

Json::Value FloatJson(float f) {
    if (!std::isfinite(f)) return Json::Value();
    return Json::Value(std::strtod(fmt::format("{}", f).c_str(), nullptr));
}

namespace {

template <class T>
struct Tag {};

template <class T>
Json::Value scalar(const unsigned char* p) {
    T v;
    std::memcpy(&v, p, sizeof v);
    if constexpr (std::is_same_v<T, float>)
        return FloatJson(v);
    else if constexpr (std::is_same_v<T, uint32_t>)
        return Json::Value(static_cast<Json::UInt>(v));
    else
        return Json::Value(static_cast<int>(v));
}

// One field at its offset in the image; arrays (including the zero-length
// ones of unused capacities) become JSON arrays.
template <class F>
Json::Value field(const unsigned char* base, size_t offset, Tag<F>) {
    if constexpr (std::is_array_v<F>) {
        using E = std::remove_extent_t<F>;
        Json::Value list(Json::arrayValue);
        for (size_t i = 0; i < std::extent_v<F>; ++i) list.append(scalar<E>(base + offset + i * sizeof(E)));
        return list;
    } else if constexpr (sizeof(F) == 0) {
        return Json::Value(Json::arrayValue);
    } else {
        return scalar<F>(base + offset);
    }
}

#define M520S_FIELD(out, Rec, base, name) \
    (out)[#name] = field((base), offsetof(Rec, name), Tag<decltype(Rec::name)>{})

// The host's 7-byte stamp: year (high byte first), month, day, h, m, s.
boost::posix_time::ptime stamp_time(const unsigned char* p) {
    const int year = p[0] << 8 | p[1];
    try {
        if (year == 0) return {};
        return boost::posix_time::ptime(boost::gregorian::date(static_cast<unsigned short>(year), p[2], p[3]),
                                        boost::posix_time::time_duration(p[4], p[5], p[6]));
    } catch (const std::exception&) {
        return {};
    }
}

template <class Rec>
boost::posix_time::ptime record_stamp(const unsigned char* base) {
    return stamp_time(base + offsetof(Rec, time_stamp));
}

Json::Value stamp_json(const boost::posix_time::ptime& t) {
    if (t.is_special()) return Json::Value();
    const std::string s = boost::posix_time::to_iso_extended_string(t);
    return Json::Value(s.substr(0, 19));
}

void decode_ac(const unsigned char* d, size_t len, SnapshotValues& out) {
    using P = tele_c_m520s_ac;
    using C = tele_c_m520s_ac_channel;
    if (len < sizeof(P)) {
        out.error = fmt::format("AC snapshot of {} bytes, shorter than its panel record ({})", len, sizeof(P));
        return;
    }
    const size_t n = d[offsetof(P, channel_count)];
    if (len != sizeof(P) + n * sizeof(C)) {
        out.error = fmt::format("AC snapshot of {} bytes, {} channels need {}", len, n, sizeof(P) + n * sizeof(C));
        return;
    }
    Json::Value& v = out.values;
    M520S_FIELD(v, P, d, data_id);
    M520S_FIELD(v, P, d, ia);
    M520S_FIELD(v, P, d, ib);
    M520S_FIELD(v, P, d, ic);
    M520S_FIELD(v, P, d, channel_count);
    M520S_FIELD(v, P, d, airlock_count);
    M520S_FIELD(v, P, d, airlock_state);
    M520S_FIELD(v, P, d, p40_43_count);
    M520S_FIELD(v, P, d, p40_43_state);
    M520S_FIELD(v, P, d, ia_alert);
    M520S_FIELD(v, P, d, ib_alert);
    M520S_FIELD(v, P, d, ic_alert);
    out.stamp = record_stamp<P>(d);
    v["time_stamp"] = stamp_json(out.stamp);
    Json::Value& list = v["channels"] = Json::Value(Json::arrayValue);
    for (size_t k = 0; k < n; ++k) {
        const unsigned char* c = d + sizeof(P) + k * sizeof(C);
        Json::Value ch(Json::objectValue);
        M520S_FIELD(ch, C, c, a);
        M520S_FIELD(ch, C, c, b);
        M520S_FIELD(ch, C, c, c);
        M520S_FIELD(ch, C, c, f);
        M520S_FIELD(ch, C, c, p40_41_count);
        M520S_FIELD(ch, C, c, p40_41_value);
        M520S_FIELD(ch, C, c, a_state);
        M520S_FIELD(ch, C, c, b_state);
        M520S_FIELD(ch, C, c, c_state);
        M520S_FIELD(ch, C, c, f_state);
        M520S_FIELD(ch, C, c, p40_44_count);
        M520S_FIELD(ch, C, c, p40_44_state);
        list.append(std::move(ch));
    }
    out.ok = true;
}

void decode_dc(const unsigned char* d, size_t len, SnapshotValues& out) {
    using R = tele_c_m520s_dc;
    if (len != sizeof(R)) {
        out.error = fmt::format("DC snapshot of {} bytes, its record has {}", len, sizeof(R));
        return;
    }
    Json::Value& v = out.values;
    M520S_FIELD(v, R, d, data_id);
    M520S_FIELD(v, R, d, v);
    M520S_FIELD(v, R, d, i);
    M520S_FIELD(v, R, d, dc_m);
    M520S_FIELD(v, R, d, dc_m_value);
    M520S_FIELD(v, R, d, dc_n);
    M520S_FIELD(v, R, d, dc_n_value);
    M520S_FIELD(v, R, d, p_count);
    M520S_FIELD(v, R, d, user_p);
    M520S_FIELD(v, R, d, v_state);
    M520S_FIELD(v, R, d, alert_m);
    M520S_FIELD(v, R, d, alert_m_state);
    M520S_FIELD(v, R, d, alert_p);
    M520S_FIELD(v, R, d, alert_p_state);
    out.stamp = record_stamp<R>(d);
    v["time_stamp"] = stamp_json(out.stamp);
    out.ok = true;
}

void decode_rc(const unsigned char* d, size_t len, SnapshotValues& out) {
    using G = tele_c_m520s_rc;
    using M = tele_c_m520s_rc_channel;
    if (len < sizeof(G)) {
        out.error = fmt::format("rectifier snapshot of {} bytes, shorter than its group record ({})", len, sizeof(G));
        return;
    }
    const size_t n = d[offsetof(G, module_count)];
    if (len != sizeof(G) + n * sizeof(M)) {
        out.error = fmt::format("rectifier snapshot of {} bytes, {} modules need {}", len, n, sizeof(G) + n * sizeof(M));
        return;
    }
    Json::Value& v = out.values;
    M520S_FIELD(v, G, d, data_id);
    M520S_FIELD(v, G, d, ac_param);
    M520S_FIELD(v, G, d, dc_param);
    M520S_FIELD(v, G, d, dc_param_count);
    M520S_FIELD(v, G, d, dc_param_user);
    M520S_FIELD(v, G, d, group_value);
    M520S_FIELD(v, G, d, module_count);
    out.stamp = record_stamp<G>(d);
    v["time_stamp"] = stamp_json(out.stamp);
    Json::Value& list = v["modules"] = Json::Value(Json::arrayValue);
    for (size_t k = 0; k < n; ++k) {
        const unsigned char* m = d + sizeof(G) + k * sizeof(M);
        Json::Value mod(Json::objectValue);
        M520S_FIELD(mod, M, m, module_value);
        M520S_FIELD(mod, M, m, p41_41_count);
        M520S_FIELD(mod, M, m, p41_41_value);
        M520S_FIELD(mod, M, m, module_state);
        M520S_FIELD(mod, M, m, p41_43_count);
        M520S_FIELD(mod, M, m, p41_43_state);
        M520S_FIELD(mod, M, m, fault_state);
        M520S_FIELD(mod, M, m, p41_44_count);
        M520S_FIELD(mod, M, m, p41_44_state);
        list.append(std::move(mod));
    }
    out.ok = true;
}

#undef M520S_FIELD

}  // namespace

SnapshotValues DecodeSnapshot(int type, const unsigned char* data, size_t len) {
    SnapshotValues out;
    out.values = Json::Value(Json::objectValue);
    if (data == nullptr && len > 0) {
        out.error = "no bytes";
        return out;
    }
    switch (type) {
        case kSnapshotAC: decode_ac(data, len, out); break;
        case kSnapshotDC: decode_dc(data, len, out); break;
        case kSnapshotRC: decode_rc(data, len, out); break;
        default: out.error = fmt::format("unknown snapshot type {}", type);
    }
    if (!out.ok) out.values = Json::Value();
    return out;
}

bool IsFresh(const boost::posix_time::ptime& stamp, const boost::posix_time::ptime& now) {
    if (stamp.is_special() || now.is_special()) return false;
    return (now - stamp).total_seconds() < kFreshSeconds;
}

}  // namespace monitor
