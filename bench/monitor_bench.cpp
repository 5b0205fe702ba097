// Host CPU and memory per polling cycle of the reference site (2 AC panels of
// 3 channels, 2 DC panels, 8 rectifier modules), as m520s-monitor spends it:
// the plug-in's decoding and RoundDone, the queued alarm work through the
// alarm book, snapshot decoding, the "cycle" JSON line (written to
// /dev/null) and the hand-over of the cycle's rows to storage. The 20 ms
// dispatch pause is skipped and the two-second poll guard is moved past, so
// one iteration is one complete cycle of ten answers.
//
//   build/bench/monitor_bench --benchmark_filter=BM_MonitorCycle
//   valgrind --tool=callgrind --instr-atstart=no --callgrind-out-file=/tmp/cg.out
//       build/bench/monitor_bench --benchmark_filter=BM_MonitorCycleCounted
//
// BM_MonitorCycle reports the resident set after 1 000 and after all
// cycles; BM_MonitorCycleCounted runs exactly 1 000 cycles between callgrind
// start and stop markers, so callgrind's total divided by 1 000 is the
// instruction count of one cycle. BM_StoreCommit times the storage thread's
// side: one cycle's rows committed to a real database file.
//
// The HTTP sink is there as in a run with "http" configured (no client
// connected): what it costs the poll thread is in the count.
//
// The driver's own standard output (AC and DC diagnostics) goes to
// /dev/null, as the monitor would turn each line into a "log" event.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <valgrind/callgrind.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "bench/reference_site.h"
#include "device/m520s.h"
#include "monitor/controller.h"
#include "monitor/event_hub.h"
#include "monitor/models/m520s.h"
#include "monitor/sinks/http.h"
#include "monitor/sinks/json_lines.h"
#include "monitor/store.h"

namespace {

using monitor_test::Bytes;
using monitor_test::ReferenceSite;

// Hands batches over and frees them, as the storage thread would after its
// commit; the commit itself is BM_StoreCommit.
class HandOff : public monitor::Storage {
public:
    std::vector<monitor::SnapshotRow> LoadCache() override { return {}; }
    std::vector<monitor::Alarm> LoadActiveAlarms() override { return {}; }
    uint64_t Submit(monitor::Batch batch) override {
        rows += batch.history.size();
        benchmark::DoNotOptimize(batch);
        return ++tag;
    }
    uint64_t Committed() const override { return tag; }
    uint64_t tag = 0;
    size_t rows = 0;
};

class BenchM520S : public M520S {
public:
    using M520S::last_update;
    using M520S::step;
    size_t requests = 0;
    int SendData(const unsigned char*, int n) override {
        ++requests;
        return n;
    }
};

long rss_kb() {
    std::ifstream in("/proc/self/status");
    std::string key;
    long value = 0;
    while (in >> key) {
        if (key == "VmRSS:") {
            in >> value;
            return value;
        }
        in.ignore(1 << 12, '\n');
    }
    return -1;
}

int free_port() {
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t n = sizeof a;
    ::bind(s, reinterpret_cast<sockaddr*>(&a), n);
    ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &n);
    ::close(s);
    return ntohs(a.sin_port);
}

struct Rig {
    HandOff storage;
    monitor::SiteState site{monitor::model::M520S()};
    monitor::EventHub hub{site};
    std::shared_ptr<monitor::Controller> host;
    std::shared_ptr<BenchM520S> m;
    std::unique_ptr<monitor::JsonLines> json;
    std::unique_ptr<monitor::HttpServer> http;
    int null_fd = -1;
    int saved_stdout = -1;
    std::vector<Bytes> cycle;

    Rig() {
        host::set_sleep([](unsigned int) {});
        std::fflush(stdout);
        null_fd = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
        saved_stdout = ::dup(1);
        ::dup2(null_fd, 1);
        host = std::make_shared<monitor::Controller>(storage, site, 1,
                                                     [this](monitor::Event::Body b) { hub.Emit(std::move(b)); });
        json = std::make_unique<monitor::JsonLines>(null_fd);
        hub.Add(json.get());
        monitor::HttpConfig hc;
        hc.port = hc.last_port = free_port();
        http = std::make_unique<monitor::HttpServer>(hc, monitor::model::M520S(), "/dev/null", nullptr);
        hub.Add(http.get());
        m = std::make_shared<BenchM520S>();
        m->Init(host, 1);
        m->SetObserver(&host->Link());
        host->Link().Attach(m.get());
        Json::Value s(Json::objectValue);
        s["acSetting"][0]["data_id"] = 11;
        s["acSetting"][1]["data_id"] = 12;
        s["dcSetting"][0]["data_id"] = 21;
        s["dcSetting"][1]["data_id"] = 22;
        s["rcSetting"] = Json::Value(Json::objectValue);
        m->InitSetting(s);
        host->Attach(m->GetAllChildVDevices());
        host->Restore();

        ReferenceSite site;
        site.rc_fault[2] = 1;  // one active alarm, evaluated every cycle
        for (auto [c1, c2] : std::vector<std::pair<int, int>>{{0x40, 0x41}, {0x40, 0x43}, {0x40, 0x44}, {0x41, 0x41},
                                                              {0x41, 0x43}, {0x41, 0x44}, {0x42, 0x41}, {0x42, 0x44},
                                                              {0x40, 0x46}, {0x42, 0x46}})
            cycle.push_back(site.Answer(static_cast<uint8_t>(c1), static_cast<uint8_t>(c2)));
        // Device information, then a first cycle so the data is valid.
        m->RefreshStatus();
        Bytes info = site.Answer(0x40, 0x51);
        feed(info);
        for (auto& f : cycle) feed(f);
        host->OnStoreProgress();
    }
    ~Rig() {
        // The results are printed on standard output once the run is over.
        std::fflush(stdout);
        ::dup2(saved_stdout, 1);
        ::close(saved_stdout);
        ::close(null_fd);
    }

    // As the poll loop does: the driver call, then its queued work, then the
    // site state published for the sinks.
    void feed(Bytes& f) {
        m->process(f.data(), static_cast<unsigned int>(f.size()));
        host->AfterDriverCall();
        hub.Publish();
    }

    // One cycle; false when it did not complete with every request.
    bool run_cycle() {
        m->last_update = boost::posix_time::second_clock::local_time() - boost::posix_time::seconds(3);
        const size_t before = m->requests;
        const uint64_t reported = host->CyclesReported();
        if (!m->RefreshStatus()) return false;
        host->AfterDriverCall();
        hub.Publish();
        for (auto& f : cycle) feed(f);
        host->OnStoreProgress();
        hub.Publish();
        return m->step == 0 && m->requests - before == cycle.size() && host->CyclesReported() == reported + 1;
    }
};

void BM_MonitorCycle(benchmark::State& state) {
    Rig rig;
    long rss_1k = 0;
    int64_t n = 0;
    for (auto _ : state) {
        if (!rig.run_cycle()) return state.SkipWithError("cycle did not complete");
        if (++n == 1000) rss_1k = rss_kb();
    }
    state.counters["rss_after_1k_kb"] = static_cast<double>(rss_1k);
    state.counters["rss_at_end_kb"] = static_cast<double>(rss_kb());
    state.counters["history_rows_per_cycle"] =
        static_cast<double>(rig.storage.rows) / static_cast<double>(rig.host->CyclesReported());
}
BENCHMARK(BM_MonitorCycle)->Unit(benchmark::kMicrosecond)->Iterations(100000);

void BM_MonitorCycleCounted(benchmark::State& state) {
    Rig rig;
    // Warm: the buffers and the alarm book reach their steady size.
    for (int i = 0; i < 10; ++i) rig.run_cycle();
    CALLGRIND_START_INSTRUMENTATION;
    CALLGRIND_ZERO_STATS;
    for (auto _ : state)
        if (!rig.run_cycle()) return state.SkipWithError("cycle did not complete");
    CALLGRIND_STOP_INSTRUMENTATION;
}
BENCHMARK(BM_MonitorCycleCounted)->Unit(benchmark::kMicrosecond)->Iterations(1000);

void BM_StoreCommit(benchmark::State& state) {
    char dir[] = "/tmp/m520s-bench-XXXXXX";
    if (!mkdtemp(dir)) return state.SkipWithError("no temp dir");
    const std::string path = std::string(dir) + "/bench.db";
    {
        monitor::Store store(path);
        store.Start();
        ReferenceSite site;
        monitor::Batch proto;
        proto.time = "2026-01-01T00:00:00";
        for (auto [id, type, kind, len] : std::vector<std::tuple<int, int, const char*, size_t>>{
                 {11, 5088, "m520s-ac", 122}, {12, 5088, "m520s-ac", 122}, {21, 5090, "m520s-dc", 186},
                 {22, 5090, "m520s-dc", 186}, {1, 5089, "m520s-rc", 469}}) {
            monitor::SnapshotRow r{proto.time, static_cast<uint32_t>(id), kind, type, Bytes(len, 0x5A)};
            proto.history.push_back(r);
            proto.cache.push_back(r);
        }
        for (auto _ : state) {
            const uint64_t tag = store.Submit(proto);
            while (store.Committed() < tag) usleep(50);
        }
        store.Stop();
    }
    for (const char* suffix : {"", "-wal", "-shm"}) ::unlink((path + suffix).c_str());
    ::rmdir(dir);
}
BENCHMARK(BM_StoreCommit)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
