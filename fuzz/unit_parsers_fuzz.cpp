// Drives the AC, DC and rectifier units of the M520S with arbitrary portions.
//
// One input is a script of up to kMaxCalls operations on one set of units
// (one AC panel, one DC panel, one rectifier group), so that what an earlier
// portion fixed (channel count, module count, a restored cache) shapes how the
// later ones are read. Each operation is
//
//   op, mode, size (2 bytes, little-endian), then up to `size` bytes
//
// op picks the parser (or RoundDone, Get_Value, LoadFromCache); mode picks the
// count handed over: the bytes taken, fewer, or a negative count as a walk
// past the end of an answer produces. The parser always gets a heap copy sized
// exactly to the count (fuzz/exact.h; for a count of 0 or less, the address
// right after a live allocation, so even data[0] is out of bounds), so any
// read at or beyond data + len is a heap-buffer-overflow for AddressSanitizer.
//
// Checks (abort on violation):
// - every parser returns -1 or a count >= 0, and -1 for a negative count;
// - parsers that read their whole portion never claim more than len;
// - the channel and module lists stay as long as the counts in the records,
//   which later parsers, RoundDone and Get_Value index by;
// - a snapshot published by RoundDone restores into a fresh unit, which then
//   publishes the same bytes (time stamp aside); checked once per snapshot:
//   a RoundDone that publishes what the last one did (nothing parsed in
//   between) would only repeat the check.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

#include "ac/m520s_ac.h"
#include "fuzz/exact.h"
#include "dc/m520s_dc.h"
#include "host/controller.h"
#include "rc/m520s_rc.h"

namespace {

constexpr int kMaxCalls = 32;

void check(bool ok) {
    if (!ok) std::abort();
}

// Renders every log line (the formatting is part of what runs) and keeps
// none; keeps the last snapshot each device published.
class CountingController : public SMDController {
public:
    size_t lines = 0;
    std::map<const SMDVDevice*, std::vector<unsigned char>> snapshots;
    void Log(const std::string& rendered) override { lines += rendered.size() > 0; }
    void PublishSnapshot(SMDVDevice& device, int, const unsigned char* data, int len, bool) override {
        snapshots[&device].assign(data, data + (len > 0 ? len : 0));
    }
};

struct FuzzAC : M520SAC {
    using M520SAC::channels;
    using M520SAC::tele;
    size_t tele_count() const { return tele.channel_count; }
};

struct FuzzDC : M520SDC {
    using M520SDC::tele;
    FuzzDC() : M520SDC(std::string("M520S")) {}
};

// What a unit's RoundDone publishes, as it lays its records out: the panel
// or group record, then one record per channel or module the count holds.
template <class Unit>
std::vector<unsigned char> published(const Unit& u) {
    const auto* t = reinterpret_cast<const unsigned char*>(&u.tele);
    std::vector<unsigned char> out(t, t + sizeof u.tele);
    if constexpr (!std::is_same_v<Unit, FuzzDC>) {
        out.resize(sizeof u.tele + sizeof(u.channels[0]) * u.tele_count());
        for (size_t k = 0; k < u.channels.size() && k < u.tele_count(); ++k)
            std::memcpy(out.data() + sizeof u.tele + k * sizeof u.channels[k], &u.channels[k], sizeof u.channels[k]);
    }
    return out;
}

struct FuzzRC : M520SRC {
    using M520SRC::channels;
    using M520SRC::tele;
    size_t tele_count() const { return tele.module_count; }
};

void get_value(const SMDVDevice& unit, const std::string& key) {
    try {
        volatile float v = unit.Get_Value(0, key);
        (void)v;
    } catch (const std::out_of_range&) {
    }
}

void get_values(const SMDVDevice& unit, const std::vector<std::string>& keys, const std::string& own) {
    for (const auto& key : keys) get_value(unit, key);
    get_value(unit, own);
}

// What a unit publishes at the end of a cycle, restored into a fresh unit of
// its kind, must be taken and published again unchanged but for the time
// stamp: that is how the host carries the last values over a restart.
template <class Unit>
void check_round_trip(const std::vector<unsigned char>& snapshot, size_t stamp_at,
                      std::vector<unsigned char>& last_checked) {
    std::vector<unsigned char> masked = snapshot;
    if (masked.size() >= stamp_at + 7) std::memset(masked.data() + stamp_at, 0, 7);
    if (masked == last_checked) return;
    last_checked = std::move(masked);
    // Its RoundDone would stamp the time, lay out its records (published()
    // above) and build its alarm checks; the records are compared instead,
    // time stamp included, which says the same without the alarm checks.
    Unit fresh;
    const fuzz::Exact copy(snapshot.data(), snapshot.size());
    check(fresh.LoadFromCache(copy.data(), static_cast<int>(copy.len())));
    check(published(fresh) == snapshot);
}

void load_string(VDeviceInterface& unit, const uint8_t* bytes, int n) {
    unit.LoadFromCache(std::string(reinterpret_cast<const char*>(bytes), static_cast<size_t>(n)));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Two parsers print every portion they read; at fuzzing speed that costs
    // more than the parsing. Standard output is not looked at here.
    std::cout.setstate(std::ios_base::badbit);
    if (!std::freopen("/dev/null", "w", stdout)) std::abort();
    return 0;
}

namespace {

struct Units {
    std::shared_ptr<CountingController> controller = std::make_shared<CountingController>();
    std::shared_ptr<FuzzAC> ac = std::make_shared<FuzzAC>();
    std::shared_ptr<FuzzDC> dc = std::make_shared<FuzzDC>();
    std::shared_ptr<FuzzRC> rc = std::make_shared<FuzzRC>();
    std::vector<unsigned char> checked[3];  // the snapshots whose round trip was checked
    Units() {
        ac->Init(controller, 11);
        dc->Init(controller, 21);
        rc->Init(controller, 100);
    }
};

// Parser ops 0 to 9 on len bytes at p; bounded: the parser reads all it claims.
int parse(Units& u, int op, const unsigned char* p, int len, bool& bounded) {
    bounded = true;
    switch (op) {
        case 0: return u.ac->parse40_41(p, len);
        case 1: bounded = false; return u.ac->parse40_43(p, len);  // skips user bytes unread
        case 2: return u.ac->parse40_44(p, len);
        case 3: return u.dc->parse42_41(p, len);
        case 4: return u.dc->parse42_44(p, len);
        case 5: return u.rc->parse41_41(p, len);
        case 6: return u.rc->parse41_43(p, len);
        case 7: return u.rc->parse41_44(p, len);
        case 8: bounded = false; return u.rc->parse40_46(p, len);  // names the user values unread
        default: bounded = false; return u.rc->parse42_46(p, len);  // likewise, on a count mismatch
    }
}

void round_done(Units& u) {
    u.ac->RoundDone();
    u.dc->RoundDone();
    u.rc->RoundDone();
    u.controller->RunQueuedWork();
    auto& published = u.controller->snapshots;
    // A panel without channels is never restored (a cache no longer than the
    // panel record is refused).
    if (u.ac->tele.channel_count > 0)
        check_round_trip<FuzzAC>(published[u.ac.get()], offsetof(tele_c_m520s_ac, time_stamp), u.checked[0]);
    check_round_trip<FuzzDC>(published[u.dc.get()], offsetof(tele_c_m520s_dc, time_stamp), u.checked[1]);
    check_round_trip<FuzzRC>(published[u.rc.get()], offsetof(tele_c_m520s_rc, time_stamp), u.checked[2]);
}

void get_values_op(Units& u, const unsigned char* p, int len) {
    const std::string own(reinterpret_cast<const char*>(p), len > 0 ? static_cast<size_t>(len) : 0);
    static const std::vector<std::string> ac_keys{"ia",          "ic_alert", "channel_0_a", "channel_2_f",
                                                  "channel_1_x", "channel_99999999999_a", "channel_-1_a"};
    static const std::vector<std::string> dc_keys{"v", "i"}, rc_keys{""};
    get_values(*u.ac, ac_keys, own);
    get_values(*u.dc, dc_keys, own);
    get_values(*u.rc, rc_keys, own);
}

// The cache through both entry points; the string one, as the host calls
// it, owns its own exactly sized copy.
void load_op(Units& u, int k, const unsigned char* p, int len, const uint8_t* portion, int avail) {
    switch (k % 6) {
        case 0: u.ac->LoadFromCache(p, len); break;
        case 1: u.dc->LoadFromCache(p, len); break;
        case 2: u.rc->LoadFromCache(p, len); break;
        case 3: load_string(*u.ac, portion, avail); break;
        case 4: load_string(*u.dc, portion, avail); break;
        case 5: load_string(*u.rc, portion, avail); break;
    }
}

// The count handed over, by the mode's low two bits: the bytes taken, k
// fewer, a negative count, or k.
int count_for(uint8_t mode, int avail) {
    const int k = mode >> 2;
    switch (mode & 3) {
        case 1: return avail - k < 0 ? 0 : avail - k;
        case 2: return -1 - k * 97;  // down to about -6200
        case 3: return k < avail ? k : avail;
        default: return avail;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Units u;
    size_t at = 0;
    for (int call = 0; call < kMaxCalls && size - at >= 4; ++call) {
        const uint8_t op = data[at];
        const uint8_t mode = data[at + 1];
        const size_t want = static_cast<size_t>(data[at + 2]) | static_cast<size_t>(data[at + 3]) << 8;
        at += 4;
        const int avail = static_cast<int>(std::min(want, size - at));
        const uint8_t* portion = data + at;
        at += static_cast<size_t>(avail);
        const int len = count_for(mode, avail);
        const fuzz::Exact buf(portion, len > 0 ? static_cast<size_t>(len) : 0);
        const unsigned char* p = buf.data();

        if (op % 13 < 10) {
            bool bounded = true;
            const int r = parse(u, op % 13, p, len, bounded);
            check(r == -1 || r >= 0);
            if (len < 0) check(r == -1);
            if (bounded) check(r <= (len > 0 ? len : 0));
        } else if (op % 13 == 10) {
            round_done(u);
        } else if (op % 13 == 11) {
            get_values_op(u, p, len);
        } else {
            load_op(u, mode >> 2, p, len, portion, avail);
        }
        check(u.ac->channels.size() == u.ac->tele.channel_count);
        check(u.rc->channels.size() == u.rc->tele.module_count);
    }

    // Whatever the script left queued runs before the units go.
    u.controller->RunQueuedWork();
    return 0;
}
