// Cost of one polling cycle of the M520S main device and of each unit's main
// parser.
//
//   build/bench/cycle_bench
//
// The cycle: two AC panels of three channels, two DC panels and four
// rectifier modules; every data flag asks for every optional request, so a
// cycle is ten answers (AC analog, switch, alarm; rectifier analog, switch,
// alarm; DC analog, alarm; AC and DC parameters). The answers are encoded
// once and fed through process(); the requests are discarded and the
// dispatch pause is a no-op, so what is timed is decoding, dispatch, RoundDone
// of the five units and the alarm work they queue.
//
// The AC and DC parsers print what they read on standard output; that stays
// in the timing, but goes to /dev/null, and the results are written to
// standard error instead.

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "ac/m520s_ac.h"
#include "dc/m520s_dc.h"
#include "device/m520s.h"
#include "host/controller.h"
#include "host/frame.h"
#include "tests/support/frames.h"
#include "rc/m520s_rc.h"

namespace {

using testing_support::Bytes;
using testing_support::f32;
using testing_support::put;

// --- one unit's portion of each answer ------------------------------------

// Three channels of three voltages and a frequency, no user-defined values,
// then the three output currents.
Bytes ac40_41() {
    Bytes b{3};
    for (int ch = 0; ch < 3; ++ch) {
        put(b, f32(229.5f + ch));
        put(b, f32(230.1f));
        put(b, f32(231.0f - ch));
        put(b, f32(50.02f));
        b.push_back(0);
    }
    put(b, f32(12.5f));
    put(b, f32(11.75f));
    put(b, f32(13.0f));
    return b;
}

Bytes ac40_43() { return {0, 3, 0, 0, 1}; }

Bytes ac40_44() {
    Bytes b{3};
    for (int ch = 0; ch < 3; ++ch) put(b, {0, 0, 0, 0, 0, 8, 0, 0, 0, 0xE1, 0, 0, 0, 0});
    put(b, {0, 0, 0});
    return b;
}

// Voltage, current, two battery currents, no second group, twenty user values.
Bytes dc42_41() {
    Bytes b;
    put(b, f32(53.5f));
    put(b, f32(120.25f));
    b.push_back(2);
    put(b, f32(1.5f));
    put(b, f32(-2.5f));
    put(b, {0, 20});
    for (int k = 0; k < 20; ++k) put(b, f32(0.5f * k));
    return b;
}

Bytes dc42_44() {
    Bytes b{0, 2, 0, 3, 71};
    b.resize(b.size() + 71, 0);
    b[5 + 8] = 227;  // one raised state among the user-defined ones
    return b;
}

// The whole rectifier answers: flag, group value, four modules of seven values.
Bytes rc41_41() {
    Bytes b{0x11};
    put(b, f32(53.5f));
    b.push_back(4);
    for (int i = 0; i < 4; ++i) {
        put(b, f32(20.0f + i));
        b.push_back(7);
        for (int k = 0; k < 7; ++k) put(b, f32(1.0f + k));
    }
    return b;
}

Bytes rc41_43() {
    Bytes b{0, 4};
    for (int i = 0; i < 4; ++i) put(b, {0, 1, 0, 6, 0, 0, 0, 0, 0, 0});
    return b;
}

Bytes rc41_44() {
    Bytes b{0, 4};
    for (int i = 0; i < 4; ++i) put(b, {static_cast<unsigned char>(i == 2), 8, 0, 1, 0, 0, 0, 0, 0, 0});
    return b;
}

Bytes ac40_46() {
    Bytes b;
    for (float v : {220.0f, 240.0f, 180.0f, 55.0f, 45.0f}) put(b, f32(v));
    b.push_back(0);
    return b;
}

Bytes dc42_46() {
    Bytes b;
    put(b, f32(57.6f));
    put(b, f32(45.0f));
    b.push_back(0);
    return b;
}

// Flag and panel count, then each panel's portion.
Bytes group(unsigned char flag, const Bytes& portion) {
    Bytes b{flag, 2};
    put(b, portion);
    put(b, portion);
    return b;
}

using testing_support::answer;

class BenchM520S : public M520S {
public:
    using M520S::last_update;
    using M520S::step;

    size_t requests = 0;
    int SendData(const unsigned char*, int n) override {
        ++requests;
        return n;
    }

    bool configure() {
        Json::Value s(Json::objectValue);
        s["acSetting"][0]["data_id"] = 11;
        s["acSetting"][1]["data_id"] = 12;
        s["dcSetting"][0]["data_id"] = 21;
        s["dcSetting"][1]["data_id"] = 22;
        s["rcSetting"] = Json::Value(Json::objectValue);
        return InitSetting(s);
    }
};

void BM_PollingCycle(benchmark::State& state) {
    host::set_sleep([](unsigned int) {});
    auto controller = std::make_shared<SMDController>();
    auto m = std::make_shared<BenchM520S>();
    m->Init(controller, 100);
    if (!m->configure()) return state.SkipWithError("configuration refused");

    // Flags 0x11 ask for the switch and alarm answers every cycle.
    std::vector<Bytes> cycle = {
        answer(0x40, group(0x11, ac40_41())), answer(0x40, group(0x11, ac40_43())),
        answer(0x40, group(0x11, ac40_44())), answer(0x41, rc41_41()),
        answer(0x41, rc41_43()),              answer(0x41, rc41_44()),
        answer(0x42, group(0x11, dc42_41())), answer(0x42, group(0x11, dc42_44())),
        answer(0x40, ac40_46()),              answer(0x42, dc42_46()),
    };
    Bytes model{'M', '5', '2', '0', 'S'};
    model.resize(20, ' ');
    Bytes info_answer = answer(0x40, model);

    // Device information once, then one cycle so the data is valid and the
    // flags alone decide the requests.
    m->RefreshStatus();
    m->process(info_answer.data(), static_cast<unsigned int>(info_answer.size()));
    for (auto& f : cycle) m->process(f.data(), static_cast<unsigned int>(f.size()));
    controller->RunQueuedWork();

    size_t work = 0;
    for (auto _ : state) {
        // The two-second guard between cycles is not what is measured.
        m->last_update = boost::posix_time::second_clock::local_time() - boost::posix_time::seconds(3);
        const size_t before = m->requests;
        if (!m->RefreshStatus()) return state.SkipWithError("poll held back");
        for (auto& f : cycle) m->process(f.data(), static_cast<unsigned int>(f.size()));
        work += controller->RunQueuedWork();
        if (m->step != 0 || m->requests - before != cycle.size())
            return state.SkipWithError("cycle did not complete with every request");
    }
    state.counters["answers"] = static_cast<double>(cycle.size());
    state.counters["work_items"] = benchmark::Counter(static_cast<double>(work), benchmark::Counter::kAvgIterations);
}
BENCHMARK(BM_PollingCycle)->Unit(benchmark::kMicrosecond);

// Each unit's main parser on one unit's portion, as the dispatch hands it over.
template <class Unit, class Parse>
void parse_bench(benchmark::State& state, const Bytes& portion, Parse parse) {
    auto controller = std::make_shared<SMDController>();
    auto unit = std::make_shared<Unit>();
    unit->Init(controller, 11);
    for (auto _ : state) {
        const int r = parse(*unit, portion.data(), static_cast<int>(portion.size()));
        if (r != static_cast<int>(portion.size())) return state.SkipWithError("portion refused");
        benchmark::DoNotOptimize(r);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * portion.size()));
}

void BM_ParseAC40_41(benchmark::State& state) {
    parse_bench<M520SAC>(state, ac40_41(), [](M520SAC& u, const unsigned char* p, int n) { return u.parse40_41(p, n); });
}
BENCHMARK(BM_ParseAC40_41);

void BM_ParseDC42_41(benchmark::State& state) {
    parse_bench<M520SDC>(state, dc42_41(), [](M520SDC& u, const unsigned char* p, int n) { return u.parse42_41(p, n); });
}
BENCHMARK(BM_ParseDC42_41);

void BM_ParseRC41_41(benchmark::State& state) {
    parse_bench<M520SRC>(state, rc41_41(), [](M520SRC& u, const unsigned char* p, int n) { return u.parse41_41(p, n); });
}
BENCHMARK(BM_ParseRC41_41);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    if (!std::freopen("/dev/null", "w", stdout)) return 1;
    benchmark::ConsoleReporter reporter;
    reporter.SetOutputStream(&std::cerr);
    reporter.SetErrorStream(&std::cerr);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
