// m520s-monitor against m520s-sim on a line that repeats answers or answers
// for the wrong group, through the real plug-in and frame layer.
//
// The JSON lines show the frame layer's counters only in "link" events, at
// the link's changes; a run that goes well has just the one at the start.
// So the drops are counted from the layer's own log lines, which it writes
// with each count, and the "link" event is checked to carry the counters.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "host/frame.h"
#include "host/pmbus_protocol.h"
#include "monitor/event_hub.h"
#include "monitor/link_tracker.h"
#include "monitor/models/m520s.h"
#include "monitor/sinks/live_view.h"
#include "tests/monitor/e2e_support.h"
#include "tests/monitor/monitor_process.h"
#include "tests/monitor/test_support.h"
#include "tests/support/time_scale.h"

namespace monitor_test {
namespace {

using Clock = std::chrono::steady_clock;

struct LineRun {
    std::vector<Json::Value> events;
    std::vector<Clock::time_point> cycle_at;  // when each "cycle" line came
    int exit = -1;

    size_t logs_containing(const std::string& part) const {
        return static_cast<size_t>(std::count_if(events.begin(), events.end(), [&](const Json::Value& e) {
            return e["event"] == "log" && e["text"].asString().find(part) != std::string::npos;
        }));
    }
    std::vector<std::string> links() const {
        std::vector<std::string> out;
        for (const auto& e : events)
            if (e["event"] == "link") out.push_back(e["state"].asString());
        return out;
    }
    size_t link_lost_raised() const {
        return static_cast<size_t>(std::count_if(events.begin(), events.end(), [](const Json::Value& e) {
            return e["event"] == "alarm" && e["key"] == "link_lost" && e["action"] == "raise";
        }));
    }
};

// The reference site on a simulated line with these fault probabilities,
// polled for `cycles` cycles.
LineRun run(const std::string& faults, unsigned seed, unsigned cycles, const Json::Value& device) {
    TempDir dir;
    WriteFile(dir / "scenario.json", R"({"faults": )" + faults + "}");
    Sim sim({"--scenario", dir / "scenario.json", "--seed", std::to_string(seed)});
    const std::string config = WriteConfig(dir / "site.json", sim.pty, dir / "site.db", device);
    // Cycles are timed as they are reported: each its own commit, not grouped.
    WriteFile(config, ReadFile(config).substr(0, ReadFile(config).rfind('}')) + R"(,"history": {"commit_s": 0}})");
    MonitorProcess mon(M520S_MONITOR_PATH, {"--config", config, "--json", "--cycles", std::to_string(cycles)});
    LineRun r;
    const int budget_ms = static_cast<int>(cycles * 6000 * TimeScale());
    mon.WaitFor(
        [&](const Json::Value& e) {
            if (e["event"] == "cycle") r.cycle_at.push_back(Clock::now());
            return e["event"] == "cycle" && e["n"].asUInt() == cycles;
        },
        budget_ms, &r.events);
    r.exit = mon.Wait();
    for (auto& e : mon.Rest()) r.events.push_back(e);
    EXPECT_EQ(r.exit, 0) << mon.Stderr();
    return r;
}

Json::Value device(int timeout_ms, int retries) {
    Json::Value d = ReferenceDevice();
    d["timeout_ms"] = timeout_ms;
    d["retries"] = retries;
    return d;
}

// A line that sends a fifth of its answers twice in one write: the second
// copy is never taken for the answer to the request that the first one's
// handling sent. Every cycle completes; the link never goes down.
TEST(LineFaults, RepeatedAnswersNeverCostACycle) {
    const unsigned cycles = 15;
    const LineRun r = run(R"({"double": 0.2})", 7, cycles, device(300, 1));
    ASSERT_EQ(r.cycle_at.size(), cycles);
    unsigned n = 0;
    for (const auto& e : r.events) {
        if (e["event"] == "cycle") {
            EXPECT_EQ(e["n"].asUInt(), ++n);
        }
    }
    EXPECT_EQ(r.links(), std::vector<std::string>{"up"});
    EXPECT_EQ(r.link_lost_raised(), 0u);
    EXPECT_EQ(r.logs_containing("no answer after all retries"), 0u);
    EXPECT_EQ(r.logs_containing("no request sent within the stall limit"), 0u);
    // The copies were there, and dropped as stale.
    EXPECT_GT(r.logs_containing("began before request"), 0u);
    // The link event names the new counters beside the others.
    for (const auto& e : r.events) {
        if (e["event"] != "link") continue;
        EXPECT_TRUE(e["counters"].isMember("stale"));
        EXPECT_TRUE(e["counters"].isMember("wrong_group"));
    }
}

// A line that answers a tenth of the requests for another group: the answer
// is dropped and the request goes out again at its time-out, so no gap
// between two completed cycles is longer than a clean cycle (the 2 s guard
// at one-second resolution, at most 3 s, a poll and the cycle itself) plus
// the time-outs of one request's tries.
TEST(LineFaults, AnAnswerOfTheWrongGroupCostsATimeOutNotAStall) {
    const unsigned cycles = 20;
    const int timeout_ms = 300, retries = 2;
    const LineRun r = run(R"({"wrong_cid1": 0.1})", 3, cycles, device(timeout_ms, retries));
    ASSERT_EQ(r.cycle_at.size(), cycles);
    EXPECT_GT(r.logs_containing("is not the group of request"), 0u);
    EXPECT_EQ(r.links(), std::vector<std::string>{"up"});

    int64_t shortest_cycle = INT64_MAX;
    for (const auto& e : r.events)
        if (e["event"] == "cycle" && e["n"].asUInt() > 1)
            shortest_cycle = std::min<int64_t>(shortest_cycle, e["duration_ms"].asInt64());
    const double one_cycle_ms = 3000 + 100 + static_cast<double>(shortest_cycle);
    const double bound_ms = one_cycle_ms + timeout_ms * (retries + 1) + 400 * TimeScale();
    std::string gaps;
    double longest = 0;
    for (size_t k = 1; k < r.cycle_at.size(); ++k) {
        const double gap = std::chrono::duration<double, std::milli>(r.cycle_at[k] - r.cycle_at[k - 1]).count();
        gaps += fmt::format(" {:.0f}", gap);
        longest = std::max(longest, gap);
    }
    EXPECT_LE(longest, bound_ms) << "gaps (ms):" << gaps;
}

// The live view names the new drops on its link line once they happened.
TEST(LineFaults, TheLiveViewShowsStaleAndWrongGroupDrops) {
    // A frame layer whose answers ask for the next request at once.
    struct Layer : PMBusProtocol {
        bool LoadFromCache(const unsigned char*, int) override { return true; }
        int SendData(const unsigned char*, int n) override { return n; }
        bool process_payload() override {
            write_pmbus_cmd(0x40, 0x43);
            return true;
        }
        void feed(std::vector<unsigned char> b) { process(b.data(), static_cast<unsigned>(b.size())); }
    };
    monitor::SiteState site(monitor::model::M520S());
    monitor::EventHub hub(site);
    monitor::LinkTracker tracker(monitor::model::M520S(), site);
    Layer layer;
    layer.SetObserver(&tracker);
    tracker.Attach(&layer);
    monitor::LiveView view(-1, "/dev/ttyS1");
    hub.Add(&view);
    auto publish = [&] {
        tracker.Refresh();
        hub.Publish();
    };
    publish();
    auto link_line = [&] {
        for (const auto& l : view.Render(200, 40, false))
            if (l.find("link") == 0) return l;
        return std::string();
    };
    EXPECT_EQ(link_line().find("stale"), std::string::npos) << link_line();

    layer.write_pmbus_cmd(0x40, 0x41);
    std::vector<unsigned char> two = frame::encode(0x20, 1, 0x40, 0, nullptr, 0);
    two.insert(two.end(), two.begin(), two.end());
    layer.feed(two);                                     // the second copy: stale
    layer.feed(frame::encode(0x20, 1, 0x42, 0, nullptr, 0));  // asked 40/43: wrong group
    publish();
    const std::string line = link_line();
    EXPECT_NE(line.find("stale 1"), std::string::npos) << line;
    EXPECT_NE(line.find("wrong_group 1"), std::string::npos) << line;
}

}  // namespace
}  // namespace monitor_test
