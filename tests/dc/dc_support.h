#pragma once
// Helpers for the DC unit tests: a unit with its internals in reach, a
// recording controller wired as its parent's, and exactly sized heap copies
// of answer portions so the sanitizer sees any read past the end.

#include <cstring>
#include <memory>
#include <vector>

#include "dc/m520s_dc.h"
#include "tests/support/frames.h"
#include "tests/support/recording_controller.h"

namespace dc_test {

using Bytes = std::vector<unsigned char>;

class TestDC : public M520SDC {
public:
    using M520SDC::M520SDC;
    using M520SDC::DoImpCheckAlert;
    using M520SDC::batch_result;
    using M520SDC::check_seq;
    using M520SDC::data_valid;
    using M520SDC::diff_i;
    using M520SDC::diff_v;
    using M520SDC::last_i;
    using M520SDC::last_update;
    using M520SDC::last_v;
    using M520SDC::model;
    using M520SDC::pending_rules;
    using M520SDC::tele;
};

struct Parent : SMDSPDevice {
    bool LoadFromCache(const unsigned char*, int) override { return true; }
};

struct Rig {
    std::shared_ptr<testing_support::RecordingController> ctl =
        std::make_shared<testing_support::RecordingController>();
    Parent parent;
    std::shared_ptr<TestDC> dc = std::make_shared<TestDC>();

    explicit Rig(unsigned id = 42, const Json::Value& setting = Json::Value(Json::objectValue)) {
        parent.Init(ctl, 1);
        dc->InitV(&parent, id, setting);
    }
    int parse41(const Bytes& b) { return call(&TestDC::parse42_41, b, static_cast<int>(b.size())); }
    int parse41(const Bytes& b, int len) { return call(&TestDC::parse42_41, b, len); }
    int parse44(const Bytes& b) { return call(&TestDC::parse42_44, b, static_cast<int>(b.size())); }
    int parse44(const Bytes& b, int len) { return call(&TestDC::parse42_44, b, len); }

private:
    // Hands over a heap copy of exactly the first len bytes (none for len <= 0).
    int call(int (TestDC::*fn)(const unsigned char*, int), const Bytes& b, int len) {
        const size_t n = len > 0 ? static_cast<size_t>(len) : 0;
        std::unique_ptr<unsigned char[]> heap(new unsigned char[n]);
        if (n) std::memcpy(heap.get(), b.data(), n);
        return ((*dc).*fn)(heap.get(), len);
    }
};

using testing_support::put;

// One unit's 0x42/0x41 portion: v, i, m floats, n floats, p raw 4-byte values.
inline Bytes portion41(float v, float i, const std::vector<float>& m, const std::vector<float>& n,
                       const std::vector<Bytes>& p) {
    Bytes b;
    put(b, testing_support::f32(v));
    put(b, testing_support::f32(i));
    b.push_back(static_cast<unsigned char>(m.size()));
    for (float f : m) put(b, testing_support::f32(f));
    b.push_back(static_cast<unsigned char>(n.size()));
    for (float f : n) put(b, testing_support::f32(f));
    b.push_back(static_cast<unsigned char>(p.size()));
    for (const auto& raw : p) put(b, raw);
    return b;
}

// One unit's 0x42/0x44 portion.
inline Bytes portion44(unsigned char v_state, const Bytes& m_states, const Bytes& p_states) {
    Bytes b{v_state, static_cast<unsigned char>(m_states.size())};
    put(b, m_states);
    b.push_back(static_cast<unsigned char>(p_states.size()));
    put(b, p_states);
    return b;
}

inline float as_float(const void* p) {
    float f;
    std::memcpy(&f, p, 4);
    return f;
}
inline uint32_t as_bits(const void* p) {
    uint32_t u;
    std::memcpy(&u, p, 4);
    return u;
}

}  // namespace dc_test
