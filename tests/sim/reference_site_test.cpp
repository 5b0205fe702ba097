// The built-in scenario as a host sees it: full polling cycles of the
// reference site over a pseudo-terminal, through the real plug-in.

#include <gtest/gtest.h>

#include <numeric>

#include "tests/sim/sim_harness.h"

using namespace sim_test;

TEST(ReferenceSite, FullCyclesLookLikeAHealthySite) {
    SimProcess sim({});
    Host host(settings_for(2, 2), sim.pty);
    const auto durations = host.run_cycles(2, 20);
    ASSERT_EQ(host.cycles(), 2u) << sim.stderr_text();
    EXPECT_TRUE(host.ctl->logs.empty()) << host.ctl->logs.front();

    const auto snaps = host.last_cycle();
    ASSERT_EQ(snaps.size(), 5u);
    // AC panels: three channels each, phases near 230 V at 50 Hz, a few amps out.
    for (int p = 0; p < 2; ++p) {
        const auto& b = snaps[p].bytes;
        ASSERT_EQ(b.size(), 32u + 3 * 30) << "panel " << p;
        EXPECT_EQ(b[16], 3);
        for (int ch = 0; ch < 3; ++ch) {
            for (int v = 0; v < 3; ++v) {
                const float volts = le_float(b, 32 + 30 * ch + 4 * v);
                EXPECT_GT(volts, 227.0f);
                EXPECT_LT(volts, 233.5f);
            }
            EXPECT_NEAR(le_float(b, 32 + 30 * ch + 12), 50.0f, 0.06f);
        }
        for (int phase = 0; phase < 3; ++phase) EXPECT_NEAR(le_float(b, 4 + 4 * phase), 7.4f, 0.8f);
    }
    // DC panels at 53.5 V; the rectifier modules carry the load between them.
    float load = 0;
    for (int p = 2; p < 4; ++p) {
        ASSERT_EQ(snaps[p].bytes.size(), 186u);
        EXPECT_NEAR(le_float(snaps[p].bytes, 4), 53.5f, 0.06f);
        load += le_float(snaps[p].bytes, 8);
    }
    const auto& rc = snaps[4].bytes;
    ASSERT_EQ(rc.size(), 45u + 8 * 53);
    EXPECT_EQ(rc[37], 8);
    EXPECT_NEAR(le_float(rc, 33), 53.5f, 0.06f);
    float modules = 0;
    for (int m = 0; m < 8; ++m) {
        modules += le_float(rc, 45 + 53 * m);
        const float temperature = le_float(rc, 45 + 53 * m + 5 + 4);
        EXPECT_GT(temperature, 30.0f);
        EXPECT_LT(temperature, 50.0f);
    }
    EXPECT_NEAR(load, 180.0f, 7.0f);
    EXPECT_NEAR(modules, load, 0.05f * load);
    // Parameters: AC over/under voltage limits, DC limits.
    EXPECT_FLOAT_EQ(le_float(rc, 4), 280.0f);
    EXPECT_FLOAT_EQ(le_float(rc, 24), 57.6f);

    // Healthy: no check of any unit is active, and the model is the supported one.
    EXPECT_TRUE(host.active_rules().empty()) << host.active_rules().front();
    for (const auto& b : host.ctl->batches)
        for (const auto& r : b.rules) EXPECT_NE(r.key, "device_model");
    EXPECT_NEAR(host.units[0]->Get_Value(0, "channel_0_a"), 230.0f, 3.5f);
    EXPECT_NEAR(host.units[3]->Get_Value(0, "v"), 53.5f, 0.06f);

    // The second cycle, with nothing changed, reads only what the data flags ask for.
    EXPECT_EQ(sim.stop(), 0);
    const auto st = sim.stats();
    EXPECT_EQ(st.at("cycles"), 2u);
    EXPECT_EQ(st.at("requests"), 11u + 5u);
    EXPECT_EQ(st.at("answers"), st.at("requests"));
    EXPECT_EQ(st.at("silence") + st.at("bad_chksum") + st.at("garbage") + st.at("late"), 0u);
    EXPECT_EQ(durations.size(), 2u);
}
