// Cost of the frame codec on a realistic answer: the AC analog answer
// (0x40/0x41) of one panel with three input channels.
//
//   build/bench/frame_bench

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "host/frame.h"
#include "tests/support/frames.h"

namespace {

using testing_support::Bytes;
using testing_support::f32;
using testing_support::put;

// Data flag, panel count 1, channel count 3; per channel three voltages and a
// frequency and no user-defined values; three output currents and none.
Bytes ac_analog_info() {
    Bytes info{0x00, 0x01, 0x03};
    for (int ch = 0; ch < 3; ++ch) {
        put(info, f32(229.5f + ch));
        put(info, f32(230.1f));
        put(info, f32(231.0f - ch));
        put(info, f32(50.02f));
        info.push_back(0);
    }
    put(info, f32(12.5f));
    put(info, f32(11.75f));
    put(info, f32(13.0f));
    info.push_back(0);
    return info;
}

void BM_Encode(benchmark::State& state) {
    const Bytes info = ac_analog_info();
    size_t bytes = 0;
    for (auto _ : state) {
        Bytes f = frame::encode(0x20, 0x01, 0x40, 0x00, info.data(), info.size());
        bytes += f.size();
        benchmark::DoNotOptimize(f.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(bytes));
}
BENCHMARK(BM_Encode);

// Read size 0 means the whole frame in one read.
void BM_ReceiverFeed(benchmark::State& state) {
    const Bytes info = ac_analog_info();
    const Bytes wire = frame::encode(0x20, 0x01, 0x40, 0x00, info.data(), info.size());
    const size_t chunk = state.range(0) > 0 ? static_cast<size_t>(state.range(0)) : wire.size();
    frame::Receiver rx;
    size_t frames = 0;
    const frame::Receiver::FrameFn on_frame = [&](const Bytes& v) {
        benchmark::DoNotOptimize(v.data());
        ++frames;
    };
    const frame::Receiver::RejectFn on_reject = [](frame::Reject) { std::abort(); };
    for (auto _ : state) {
        for (size_t at = 0; at < wire.size(); at += chunk)
            rx.feed(wire.data() + at, std::min(chunk, wire.size() - at), on_frame, on_reject);
    }
    if (frames != static_cast<size_t>(state.iterations())) state.SkipWithError("frame lost");
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * wire.size()));
    state.counters["frame_bytes"] = static_cast<double>(wire.size());
}
BENCHMARK(BM_ReceiverFeed)->Arg(0)->Arg(16)->Arg(1);

}  // namespace

BENCHMARK_MAIN();
