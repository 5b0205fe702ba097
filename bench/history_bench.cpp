// A year of the reference site's history (2 AC panels of 3 channels, 2 DC
// panels, 8 rectifier modules) written through the real Store with a
// fast-forwarded clock: commits grouped as the store groups them, roll-ups,
// age pruning, the size budget and the file shrinking, all on the storage
// thread as in the program. Then History() on that year's file.
//
//   build/bench/history_bench
//
// Keeping it practical: the first 357 days get one cycle a minute, the last
// 8 days one every 2.5 s as the site polls. The file then holds what a real
// year leaves (7 days of raw cycles at the full rate, 30 days of minutes,
// the year's hours), and the pruning at the full rate has run for a day
// beyond the 7 days kept. "s_per_full_year" extrapolates the time per
// full-rate cycle to the 12.6 million cycles of a real year.
//
// Snapshots are made from the catalogue's record layouts (every list filled
// to its room, so the roll-ups are no smaller than the site's); measurements
// drift on slow sines, states stay 0, counts stay put.

#include <benchmark/benchmark.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "monitor/clock_text.h"
#include "monitor/history.h"
#include "monitor/models/m520s.h"
#include "monitor/store.h"

namespace {

using monitor::model::Field;
using monitor::model::Kind;
using monitor::model::Scalar;
using monitor::model::UnitKind;

constexpr int64_t kDay = 86'400'000;
constexpr int64_t kStart = 1'735'689'600'000;  // 2025-01-01T00:00:00Z
// HISTORY_BENCH_DAYS shortens the year for a quick look.
const int64_t kDays = [] {
    const char* d = std::getenv("HISTORY_BENCH_DAYS");
    return d ? std::max<int64_t>(9, std::atoll(d)) : 365;
}();
const int64_t kEnd = kStart + kDays * kDay;
const int64_t kFullRateFrom = kEnd - 8 * kDay;

std::atomic<int64_t> fake_now{kStart};

struct Unit {
    const UnitKind* kind;
    uint32_t device;
    size_t items;
};

void put_record(std::vector<unsigned char>& b, size_t at, const monitor::model::Record& r, uint32_t device,
                size_t items, int64_t ms, double phase) {
    for (const auto& f : r.fields) {
        unsigned char* p = b.data() + at + f.offset;
        const size_t n = f.list ? f.extent : 1;
        if (f.kind == Kind::Id && f.scalar == Scalar::U32) std::memcpy(p, &device, 4);
        if (f.kind == Kind::Count) {
            size_t room = items;
            for (const auto& g : r.fields)
                if (g.count && std::strcmp(g.count, f.name) == 0) room = g.extent;
            *p = static_cast<unsigned char>(room);
        }
        if (f.kind == Kind::Time) {
            const auto t = std::chrono::system_clock::time_point(std::chrono::milliseconds(ms));
            const std::time_t tt = std::chrono::system_clock::to_time_t(t);
            std::tm tm{};
            localtime_r(&tt, &tm);
            const int y = tm.tm_year + 1900;
            const int v[7] = {y >> 8, y & 0xff, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec};
            for (int i = 0; i < 7; ++i) p[i] = static_cast<unsigned char>(v[i]);
        }
        if ((f.kind == Kind::Measurement || f.kind == Kind::Parameter) && f.scalar == Scalar::F32)
            for (size_t e = 0; e < n; ++e) {
                const double base = f.kind == Kind::Parameter ? 50.0 + e : 230.0 - 10 * e;
                const float v = static_cast<float>(
                    f.kind == Kind::Parameter ? base : base * (1 + 0.01 * std::sin(ms / 600000.0 + phase + e)));
                std::memcpy(p + 4 * e, &v, 4);
            }
    }
}

std::vector<unsigned char> snapshot(const Unit& u, int64_t ms) {
    const UnitKind& k = *u.kind;
    std::vector<unsigned char> b(k.head.size + (k.items ? u.items * k.items->size : 0), 0);
    put_record(b, 0, k.head, u.device, u.items, ms, u.device);
    for (size_t i = 0; i < (k.items ? u.items : 0); ++i)
        put_record(b, k.head.size + i * k.items->size, *k.items, u.device, 0, ms, u.device + 0.3 * i);
    if (k.items_count) b[k.head.Find(k.items_count)->offset] = static_cast<unsigned char>(u.items);
    return b;
}

std::vector<Unit> reference_site() {
    const auto& m = monitor::model::M520S();
    return {{m.Unit("m520s-ac"), 11, 3}, {m.Unit("m520s-ac"), 12, 3}, {m.Unit("m520s-dc"), 21, 0},
            {m.Unit("m520s-dc"), 22, 0}, {m.Unit("m520s-rc"), 1, 8}};
}

monitor::Batch cycle(const std::vector<Unit>& units, int64_t ms) {
    monitor::Batch b;
    b.ms = ms;
    b.time = monitor::StoredText(ms);
    for (const auto& u : units) {
        monitor::SnapshotRow r{b.time, u.device, u.kind->device_type, u.kind->snapshot_type, snapshot(u, ms), true};
        b.history.push_back(r);
        b.cache.push_back(std::move(r));
    }
    return b;
}

std::string scratch_dir() {
    static const std::string dir = [] {
        std::string t = (std::filesystem::temp_directory_path() / "m520s-history-bench-XXXXXX").string();
        if (!mkdtemp(t.data())) std::abort();
        return t;
    }();
    return dir;
}

struct YearResult {
    double seconds = 0, full_rate_us_per_cycle = 0;
    uint64_t cycles = 0, dropped = 0;
    int64_t bytes = 0;
    monitor::StoreStats stats;
};

YearResult write_year(const std::string& path, uint64_t max_mb) {
    monitor::StoreOptions o;
    o.model = &monitor::model::M520S();
    o.retention.max_mb = max_mb;
    o.clock = [] { return fake_now.load(); };
    fake_now = kStart;
    const auto units = reference_site();
    YearResult r;
    const auto t0 = std::chrono::steady_clock::now();
    auto full_from = t0;
    uint64_t full_cycles = 0;
    {
        monitor::Store store(path, o);
        store.Start();
        for (int64_t t = kStart; t < kEnd;) {
            // Never far ahead of the storage thread, yet never waiting for a
            // commit that is only due once the clock moves on: nine cycles
            // are 20 s, the commit window, at the full rate.
            while (store.Status().held > 8) usleep(50);
            store.Submit(cycle(units, t));
            ++r.cycles;
            const bool full = t >= kFullRateFrom;
            if (full && full_cycles++ == 0) full_from = std::chrono::steady_clock::now();
            t += full ? 2500 : 60'000;
            fake_now = t;
        }
        store.Stop();
        r.stats = store.Stats();
        r.dropped = store.Status().dropped;
    }
    const auto t1 = std::chrono::steady_clock::now();
    r.seconds = std::chrono::duration<double>(t1 - t0).count();
    r.full_rate_us_per_cycle = std::chrono::duration<double, std::micro>(t1 - full_from).count() / full_cycles;
    struct stat st;
    r.bytes = ::stat(path.c_str(), &st) == 0 ? st.st_size : -1;
    return r;
}

void report(benchmark::State& state, const YearResult& r, int64_t limit_mb) {
    state.counters["file_mb"] = r.bytes / 1048576.0;
    state.counters["limit_mb"] = static_cast<double>(limit_mb);
    state.counters["within_limit"] = r.bytes >= 0 && r.bytes <= limit_mb * 1048576 ? 1 : 0;
    state.counters["s_to_write"] = r.seconds;
    state.counters["cycles"] = static_cast<double>(r.cycles);
    state.counters["dropped"] = static_cast<double>(r.dropped);
    state.counters["days"] = static_cast<double>(kDays);
    state.counters["s_per_full_year"] = r.full_rate_us_per_cycle * 365 * 86400 / 2.5 / 1e6;
    state.counters["commits"] = static_cast<double>(r.stats.commits);
    state.counters["longest_commit_ms"] = r.stats.longest_commit_us / 1000.0;
    state.counters["longest_commit_pruning_ms"] = r.stats.longest_commit_pruning_us / 1000.0;
    state.counters["longest_step_ms"] = r.stats.longest_step_us / 1000.0;
    state.counters["longest_checkpoint_ms"] = r.stats.longest_checkpoint_us / 1000.0;
    for (const auto& [kind, t] : r.stats.by_kind) {
        state.counters[kind + "_steps"] = static_cast<double>(t.n);
        state.counters[kind + "_over_50ms"] = static_cast<double>(t.over_50ms);
        state.counters[kind + "_longest_ms"] = t.longest_us / 1000.0;
    }
}

const std::string& defaults_file() {
    static const std::string p = scratch_dir() + "/year.db";
    return p;
}

void BM_YearDefaults(benchmark::State& state) {
    for (auto _ : state) report(state, write_year(defaults_file(), 1024), 600);
}
BENCHMARK(BM_YearDefaults)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

void BM_YearMax200(benchmark::State& state) {
    const std::string p = scratch_dir() + "/year-200.db";
    for (auto _ : state) report(state, write_year(p, 200), 200);
    for (const char* s : {"", "-wal", "-shm"}) ::unlink((p + s).c_str());
}
BENCHMARK(BM_YearMax200)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

void query(benchmark::State& state, int64_t span, monitor::Step step) {
    if (!std::filesystem::exists(defaults_file())) return state.SkipWithError("BM_YearDefaults did not run first");
    const monitor::HistoryReader reader(defaults_file(), monitor::model::M520S());
    monitor::HistoryQuery q;
    q.fields = {"11.channels[0].a"};
    q.to_ms = kEnd;
    q.from_ms = kEnd - span;
    q.step = step;
    size_t rows = 0;
    for (auto _ : state) {
        const auto t = reader.History(q);
        rows = t.rows.size();
        benchmark::DoNotOptimize(t);
    }
    state.counters["rows"] = static_cast<double>(rows);
}

void BM_History24hBy1m(benchmark::State& s) { query(s, kDay, monitor::Step::Minute); }
void BM_History30dBy1h(benchmark::State& s) { query(s, 30 * kDay, monitor::Step::Hour); }
void BM_History1hRaw(benchmark::State& s) { query(s, kDay / 24, monitor::Step::Raw); }
BENCHMARK(BM_History24hBy1m)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_History30dBy1h)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_History1hRaw)->Unit(benchmark::kMillisecond);

void BM_Cleanup(benchmark::State& state) {
    for (auto _ : state) {
    }
    std::error_code ec;
    std::filesystem::remove_all(scratch_dir(), ec);
}
BENCHMARK(BM_Cleanup)->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
