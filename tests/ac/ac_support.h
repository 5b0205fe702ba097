#pragma once
// Helpers for the AC unit tests: a unit with its state in reach, a parent that
// hands it a recording controller, exactly sized input buffers and answer
// portions built field by field.

#include <cstdint>
#include <cstring>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "ac/m520s_ac.h"
#include "tests/support/frames.h"
#include "tests/support/cout_capture.h"
#include "tests/support/recording_controller.h"

namespace ac_test {

using Bytes = std::vector<unsigned char>;
using testing_support::f32;
using testing_support::RecordingController;

class TestAC : public M520SAC {
public:
    using M520SAC::batch_result;
    using M520SAC::channels;
    using M520SAC::check_seq;
    using M520SAC::data_valid;
    using M520SAC::diff_i;
    using M520SAC::diff_v;
    using M520SAC::last_update;
    using M520SAC::pending_rules;
    using M520SAC::snapshot;
    using M520SAC::snapshot_len;
    using M520SAC::tele;
};

// Stands in for the main device: owns the controller the units report to.
class Parent : public SMDSPDevice {
public:
    bool LoadFromCache(const unsigned char*, int) override { return false; }
};

struct Rig {
    std::shared_ptr<RecordingController> controller = std::make_shared<RecordingController>();
    std::shared_ptr<Parent> parent = std::make_shared<Parent>();

    Rig() { parent->Init(controller, 1); }

    std::shared_ptr<TestAC> unit(uint32_t id = 7, const Json::Value& setting = Json::Value()) {
        auto u = std::make_shared<TestAC>();
        u->InitV(parent.get(), id, setting);
        return u;
    }
};

// A heap copy of exactly bytes.size() bytes, so the sanitizer catches any read
// beyond the portion.
struct Exact {
    explicit Exact(const Bytes& bytes) : ptr(new unsigned char[bytes.size()]), len(static_cast<int>(bytes.size())) {
        if (!bytes.empty()) std::memcpy(ptr.get(), bytes.data(), bytes.size());
    }
    std::unique_ptr<unsigned char[]> ptr;
    int len;
};

inline int parse41(TestAC& u, const Bytes& b) { Exact e(b); return u.parse40_41(e.ptr.get(), e.len); }
inline int parse43(TestAC& u, const Bytes& b) { Exact e(b); return u.parse40_43(e.ptr.get(), e.len); }
inline int parse44(TestAC& u, const Bytes& b) { Exact e(b); return u.parse40_44(e.ptr.get(), e.len); }

using testing_support::put;

struct Analog {
    Bytes a = f32(220.0f), b = f32(221.0f), c = f32(219.5f), f = f32(50.0f);
    Bytes user;  // p = user.size() / 4
};

// 40/41 portion: m, then per channel a b c f p user..., then ia ib ic.
inline Bytes portion41(const std::vector<Analog>& chans, Bytes ia = f32(10.0f), Bytes ib = f32(11.0f),
                       Bytes ic = f32(12.0f)) {
    Bytes out{static_cast<unsigned char>(chans.size())};
    for (const auto& ch : chans) {
        put(out, ch.a), put(out, ch.b), put(out, ch.c), put(out, ch.f);
        out.push_back(static_cast<unsigned char>(ch.user.size() / 4));
        put(out, ch.user);
    }
    put(out, ia), put(out, ib), put(out, ic);
    return out;
}

struct Alarm {
    Bytes states{0, 0, 0, 0};
    Bytes skipped;                       // n = skipped.size()
    Bytes user{0, 0, 0, 0, 0, 0, 0, 0};  // p = user.size()
};

// 40/44 portion: count byte, per channel states n skipped... p user..., then the three alerts.
inline Bytes portion44(unsigned char first, const std::vector<Alarm>& chans, Bytes alerts = {0, 0, 0}) {
    Bytes out{first};
    for (const auto& ch : chans) {
        put(out, ch.states);
        out.push_back(static_cast<unsigned char>(ch.skipped.size()));
        put(out, ch.skipped);
        out.push_back(static_cast<unsigned char>(ch.user.size()));
        put(out, ch.user);
    }
    put(out, alerts);
    return out;
}

inline Bytes bytes_of(const void* field) {
    Bytes b(4);
    std::memcpy(b.data(), field, 4);
    return b;
}

// Reads a float field of a packed record.
inline float get(const void* field) {
    float v;
    std::memcpy(&v, field, sizeof v);
    return v;
}

using testing_support::CoutCapture;

}  // namespace ac_test
