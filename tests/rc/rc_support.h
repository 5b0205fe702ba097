#pragma once
// Helpers for the rectifier unit tests: a unit with its state in reach,
// INFO builders for the five answers it parses, and exact-size buffers so the
// sanitizer catches any read past the bytes a parser is given.

#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "rc/m520s_rc.h"
#include "tests/support/frames.h"
#include "tests/support/cout_capture.h"
#include "tests/support/recording_controller.h"

namespace rc_test {

using Bytes = std::vector<unsigned char>;
using testing_support::f32;

class TestRC : public M520SRC {
public:
    using M520SRC::channels;
    using M520SRC::tele;
    using M520SRC::snapshot;
    using M520SRC::snapshot_len;
    using SMDVDevice::batch_result;
    using SMDVDevice::check_seq;
    using SMDVDevice::data_valid;
    using SMDVDevice::last_update;
    using SMDVDevice::pending_rules;
};

constexpr uint32_t kId = 77;

// Stands in for the main device: the unit learns its controller from it.
class Parent : public SMDSPDevice {
public:
    bool LoadFromCache(const unsigned char*, int) override { return true; }
};

struct Fixture {
    std::shared_ptr<testing_support::RecordingController> ctl =
        std::make_shared<testing_support::RecordingController>();
    std::shared_ptr<Parent> parent = std::make_shared<Parent>();
    std::shared_ptr<TestRC> rc = std::make_shared<TestRC>();

    Fixture() {
        parent->Init(ctl, kId);
        rc->InitV(parent.get(), kId, Json::Value(Json::objectValue));
    }
};

// Calls a parser with a heap buffer of exactly the given bytes.
template <class Parse>
int exact(Parse parse, const Bytes& bytes) {
    std::unique_ptr<unsigned char[]> buf(new unsigned char[bytes.size()]);
    if (!bytes.empty()) std::memcpy(buf.get(), bytes.data(), bytes.size());
    return parse(buf.get(), static_cast<int>(bytes.size()));
}

inline int p41_41(TestRC& u, const Bytes& b) {
    return exact([&](const unsigned char* d, int n) { return u.parse41_41(d, n); }, b);
}
inline int p41_43(TestRC& u, const Bytes& b) {
    return exact([&](const unsigned char* d, int n) { return u.parse41_43(d, n); }, b);
}
inline int p41_44(TestRC& u, const Bytes& b) {
    return exact([&](const unsigned char* d, int n) { return u.parse41_44(d, n); }, b);
}
inline int p40_46(TestRC& u, const Bytes& b) {
    return exact([&](const unsigned char* d, int n) { return u.parse40_46(d, n); }, b);
}
inline int p42_46(TestRC& u, const Bytes& b) {
    return exact([&](const unsigned char* d, int n) { return u.parse42_46(d, n); }, b);
}

using testing_support::put;

inline Bytes repeat4(unsigned char b) { return {b, b, b, b}; }

// 0x41/0x41 module: its value and its user-defined values (raw 4 bytes each);
// the count byte is the number of values unless overridden.
struct Module41 {
    float value;
    std::vector<Bytes> values;
    std::optional<uint8_t> count = std::nullopt;
};

inline std::vector<Bytes> seven_values(float base) {
    std::vector<Bytes> v;
    for (int k = 0; k < 7; ++k) v.push_back(f32(base + static_cast<float>(k)));
    return v;
}

inline Bytes info41_41(float group, const std::vector<Module41>& mods,
                       std::optional<uint8_t> m = std::nullopt, unsigned char flag = 0) {
    Bytes b{flag};
    put(b, f32(group));
    b.push_back(m ? *m : static_cast<uint8_t>(mods.size()));
    for (const auto& mod : mods) {
        put(b, f32(mod.value));
        b.push_back(mod.count ? *mod.count : static_cast<uint8_t>(mod.values.size()));
        for (const auto& v : mod.values) put(b, v);
    }
    return b;
}

// 0x41/0x43 module: three switch states and the user-defined states.
struct Module43 {
    Bytes state;  // 3 bytes
    Bytes user;
};

inline Bytes info41_43(const std::vector<Module43>& mods, std::optional<uint8_t> m = std::nullopt) {
    Bytes b{0, m ? *m : static_cast<uint8_t>(mods.size())};
    for (const auto& mod : mods) {
        put(b, mod.state);
        b.push_back(static_cast<uint8_t>(mod.user.size()));
        put(b, mod.user);
    }
    return b;
}

// 0x41/0x44 module: fault byte and the user-defined alarm states.
struct Module44 {
    unsigned char fault;
    Bytes states;
};

inline Bytes info41_44(const std::vector<Module44>& mods, std::optional<uint8_t> m = std::nullopt) {
    Bytes b{0, m ? *m : static_cast<uint8_t>(mods.size())};
    for (const auto& mod : mods) {
        b.push_back(mod.fault);
        b.push_back(static_cast<uint8_t>(mod.states.size()));
        put(b, mod.states);
    }
    return b;
}

inline Bytes info40_46(const std::vector<float>& five, uint8_t n, const std::vector<float>& extra = {}) {
    Bytes b;
    for (float v : five) put(b, f32(v));
    b.push_back(n);
    for (float v : extra) put(b, f32(v));
    return b;
}

inline Bytes info42_46(float a, float b2, uint8_t n, const Bytes& extra = {}) {
    Bytes b;
    put(b, f32(a));
    put(b, f32(b2));
    b.push_back(n);
    put(b, extra);
    return b;
}

inline Bytes bytes_of(const void* p, size_t n) {
    const auto* c = static_cast<const unsigned char*>(p);
    return Bytes(c, c + n);
}

using testing_support::CoutCapture;

}  // namespace rc_test
