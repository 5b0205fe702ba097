#pragma once
// Settings for frame_layer_fuzz: a JSON value built from fuzz bytes, a model
// of what the frame layer's InitSetting() makes of it, and the trip through
// the plug-in's factories. (Included once, by frame_layer_fuzz.cpp.)

#include <json/json.h>

#include <cstdint>
#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>
#include <string>

#include "host/vdevice.h"
#include "plugin/providers.h"

namespace fuzz_settings {

struct Key {
    const char* name;
    int64_t lo, hi;  // the range the layer accepts (0, 0: not a layer key)
};
constexpr Key kKeys[] = {
    {"address", 0, 255},        {"timeout_ms", 1, 600000}, {"retries", 0, 100}, {"stall_ms", 1, 3600000},
    {"frame_gap_ms", 1, 600000}, {"acSetting", 0, 0},      {"dcSetting", 0, 0}, {"rcSetting", 0, 0},
    {"data_id", 0, 0},           {"adress", 0, 0},
};

// Four bytes from the input, zero past its end.
inline uint32_t word(const uint8_t* d, size_t size, size_t& at) {
    uint32_t w = 0;
    for (int k = 0; k < 4; ++k, ++at) w |= static_cast<uint32_t>(at < size ? d[at] : 0) << (8 * k);
    return w;
}

// A unit list as the main device reads it: up to three objects with ids.
inline Json::Value units(uint32_t w) {
    Json::Value a(Json::arrayValue);
    for (uint32_t k = 0; k < w % 4; ++k) {
        Json::Value u(Json::objectValue);
        if (!(w & 0x100)) u["data_id"] = 10 + (w >> (9 + k)) % 24;
        a.append(u);
    }
    return a;
}

inline Json::Value value_for(const Key& key, uint8_t type, uint32_t w) {
    const int64_t span = key.hi - key.lo + 1;
    switch (type % 14) {
        case 0: return static_cast<int>(static_cast<int8_t>(w));
        case 1: return static_cast<Json::Int64>(static_cast<int32_t>(w));
        case 2: return static_cast<Json::Int64>(w) << 31;
        case 3: return Json::Value(static_cast<Json::UInt64>(static_cast<Json::UInt64>(w) << 40 | 0x8000000000000000ull));
        case 4: return static_cast<double>(w % 5000) + 0.5;
        case 5: return static_cast<double>(w % 5000);
        case 6: return std::to_string(w % 5000);
        case 7: return (w & 1) != 0;
        case 8: return Json::Value();
        case 9: return units(w);
        case 10: return Json::Value(Json::objectValue);
        case 11: return -static_cast<Json::Int64>(w % 1000) - 1;
        default:  // in range (for a layer key), near its ends or anywhere
            if (key.hi == 0) return static_cast<Json::UInt>(w % 64);
            return static_cast<Json::Int64>(w & 1 ? key.lo + (w >> 1) % span : key.hi - (w >> 1) % 3);
    }
}

// Byte 0: the root (0: a number, 1: a text, 2: an array, 3: null, else an
// object of up to eight keys); then per key its name, a type and a word.
inline Json::Value build(const uint8_t* d, size_t size, size_t& at) {
    at = 0;
    if (size == 0) return Json::Value();
    const uint8_t root = d[at++];
    switch (root % 8) {
        case 0: return static_cast<int>(root);
        case 1: return "timeout_ms";
        case 2: return Json::Value(Json::arrayValue);
        case 3: return Json::Value();
        default: break;
    }
    Json::Value s(Json::objectValue);
    for (int k = 0; k < (root >> 3) % 9 && at + 2 <= size; ++k) {
        const Key& key = kKeys[d[at] % (sizeof kKeys / sizeof kKeys[0])];
        const uint8_t type = d[at + 1];
        at += 2;
        s[key.name] = value_for(key, type, word(d, size, at));
    }
    at = std::min(at, size);
    return s;
}

// The frame layer's settings as applied.
struct Applied {
    int address, timeout, retries, stall, gap;
    bool operator==(const Applied& o) const {
        return address == o.address && timeout == o.timeout && retries == o.retries && stall == o.stall &&
               gap == o.gap;
    }
};

// What InitSetting() must make of s: each key it reads absent, or an integer
// in its range; a stall limit of at least the 2 s guard plus a time-out;
// then every value applied, the stall limit and frame gap following the
// time-out when absent. Anything else: refused, nothing applied.
inline std::optional<Applied> model(const Json::Value& s, const Applied& before) {
    if (!s.isNull() && !s.isObject()) return std::nullopt;
    int64_t v[5] = {before.address, before.timeout, before.retries, -1, -1};
    for (int k = 0; k < 5; ++k) {
        if (!s.isObject() || !s.isMember(kKeys[k].name)) continue;
        const Json::Value& x = s[kKeys[k].name];
        if (x.isNull()) continue;
        if (!x.isInt64() || x.asInt64() < kKeys[k].lo || x.asInt64() > kKeys[k].hi) return std::nullopt;
        v[k] = x.asInt64();
    }
    if (v[3] >= 0 && v[3] < 2000 + v[1]) return std::nullopt;
    Applied a{static_cast<int>(v[0]), static_cast<int>(v[1]), static_cast<int>(v[2]), 0, 0};
    a.stall = static_cast<int>(v[3] >= 0 ? v[3] : std::max<int64_t>(3 * v[1], 2000 + v[1]));
    a.gap = static_cast<int>(v[4] >= 0 ? v[4] : v[1]);
    return a;
}

// The four factories, each device made once; the main device with the
// settings (it must refuse what the layer refuses) and one poll, each unit
// with the same settings as its own.
inline void through_factories(const Json::Value& settings, const std::shared_ptr<SMDController>& controller) {
    const auto providers = get_providers();
    if (providers.size() != 4) std::abort();
    static const char* const kTypes[] = {"m520s", "m520s-ac", "m520s-dc", "m520s-rc"};
    std::shared_ptr<SMDSPDevice> main;
    for (size_t i = 0; i < providers.size(); ++i) {
        const auto* p = dynamic_cast<const SMDSPDeviceProvider*>(providers[i].get());
        if (!p) std::abort();
        std::shared_ptr<SMDSPDevice> d(p->create());
        if (d->DeviceType() != kTypes[i]) std::abort();
        if (i == 0) {
            main = d;
            main->Init(controller, 100);
            const bool ok = main->InitSetting(settings);
            const Applied defaults{1, 1500, 2, 4500, 1500};
            if (ok && !model(settings, defaults)) std::abort();
            // Accepted settings made every child (refused ones may leave
            // the rectifier group's place empty).
            for (const auto& child : main->GetAllChildVDevices())
                if (ok && !child) std::abort();
            main->RefreshStatus();  // no line: the request goes nowhere
        } else {
            d->InitV(main.get(), static_cast<unsigned>(10 * i), settings);
        }
    }
}

}  // namespace fuzz_settings
