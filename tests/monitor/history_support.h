#pragma once
// What the history tests share: a clock a test moves, the store set up
// around it, cycles of chosen values, and the sums a test makes itself.

#include <atomic>
#include <chrono>
#include <cmath>
#include <functional>
#include <thread>

#include "monitor/clock_text.h"
#include "monitor/models/m520s.h"
#include "monitor/store.h"
#include "tests/monitor/snapshot_maker.h"
#include "tests/support/time_scale.h"

namespace monitor_test {

inline const monitor::model::Model& M() { return monitor::model::M520S(); }
inline const monitor::model::UnitKind& Kind(const char* type) { return *M().Unit(type); }

// Polls until pred holds, at most `limit` (scaled).
template <class F>
bool Eventually(F pred, std::chrono::seconds limit = std::chrono::seconds(30)) {
    const auto end = std::chrono::steady_clock::now() + Scaled(limit);
    while (!pred()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

struct FakeClock {
    std::atomic<int64_t> ms;
    explicit FakeClock(int64_t start) : ms(start) {}
    std::function<int64_t()> Fn() {
        return [this] { return ms.load(); };
    }
};

inline monitor::StoreOptions Options(FakeClock& clock) {
    monitor::StoreOptions o;
    o.model = &M();
    o.clock = clock.Fn();
    o.commit_bytes = 1;  // each batch its own commit: the test decides when cycles are stored
    return o;
}

// One cycle of AC panel 11 and DC panel 21 at `ms`.
inline monitor::Batch Cycle(int64_t ms, double v, double f, int state, bool fresh) {
    monitor::Batch b;
    b.ms = ms;
    b.time = monitor::StoredText(ms);
    SnapshotMaker dc(Kind("m520s-dc"), 21, 0), ac(Kind("m520s-ac"), 11, 3);
    dc.Set(-1, "v", 0, v).Set(-1, "v_state", 0, state).Stamp(ms);
    ac.Set(1, "f", 0, f).Stamp(ms);
    b.history.push_back({b.time, 11, "m520s-ac", 5088, ac.bytes, fresh});
    b.history.push_back({b.time, 21, "m520s-dc", 5090, dc.bytes, fresh});
    b.cache = b.history;
    return b;
}

// The values the history tests give cycle k.
inline double V(int k) { return 50 + (k % 7) * 0.25; }
inline double F(int k) { return 49.5 + (k % 3) * 0.25; }

inline monitor::AlarmChange Change(const char* action, const char* key, const std::string& since) {
    monitor::Alarm a;
    a.device = 21;
    a.key = key;
    a.code = "06008";
    a.name = "输出电压过低告警";
    a.level = 3;
    a.state = action[0] == 'r';
    a.since = since;
    return {action, a};
}

struct Figures {
    double min = INFINITY, max = -INFINITY, sum = 0;
    int count = 0;
    void Add(double v) {
        min = std::min(min, v);
        max = std::max(max, v);
        sum += v;
        ++count;
    }
};

}  // namespace monitor_test
