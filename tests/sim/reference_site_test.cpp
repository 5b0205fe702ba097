// The built-in scenario as a host sees it at 9600 baud: two polling cycles
// of the reference site through the real plug-in, the values of a healthy
// site, and cycle wall time against the wire floor (bytes on the line x 10
// bits / 9600 + the driver's 20 ms pause per answer). Prints the ratio.

#include <gtest/gtest.h>

#include "tests/sim/sim_harness.h"

using namespace sim_test;

TEST(ReferenceSite, HealthyValuesAtTheLineRateOfTheWire) {
    SimProcess sim({"--baud", "9600"});
    Host host(settings_for(2, 2, 1500), sim.pty);
    const auto durations = host.run_cycles(2, 30, 10);
    ASSERT_EQ(durations.size(), 2u) << sim.stderr_text();
    EXPECT_TRUE(host.ctl->logs.empty()) << host.ctl->logs.front();
    EXPECT_EQ(host.counters().retransmits, 0u);

    const auto snaps = host.last_cycle();
    ASSERT_EQ(snaps.size(), 5u);
    for (int p = 0; p < 2; ++p) {  // AC: 3 channels, phases near 230 V at 50 Hz, a few amps out
        const auto& b = snaps[p].bytes;
        ASSERT_EQ(b.size(), 32u + 3 * 30);
        for (int ch = 0; ch < 3; ++ch) {
            for (int v = 0; v < 3; ++v) EXPECT_NEAR(le_float(b, 32 + 30 * ch + 4 * v), 230.3f, 3.0f);
            EXPECT_NEAR(le_float(b, 32 + 30 * ch + 12), 50.0f, 0.06f);
        }
        for (int phase = 0; phase < 3; ++phase) EXPECT_NEAR(le_float(b, 4 + 4 * phase), 7.4f, 0.8f);
    }
    float load = 0, modules = 0;  // DC at 53.5 V; the 8 modules carry the load between them
    for (int p = 2; p < 4; ++p) {
        EXPECT_NEAR(le_float(snaps[p].bytes, 4), 53.5f, 0.06f);
        load += le_float(snaps[p].bytes, 8);
    }
    const auto& rc = snaps[4].bytes;
    ASSERT_EQ(rc.size(), 45u + 8 * 53);
    for (int m = 0; m < 8; ++m) {
        modules += le_float(rc, 45 + 53 * m);
        EXPECT_NEAR(le_float(rc, 45 + 53 * m + 9), 40.0f, 4.0f);  // temperature
    }
    EXPECT_NEAR(load, 180.0f, 7.0f);
    EXPECT_NEAR(modules, load, 0.05f * load);
    EXPECT_FLOAT_EQ(le_float(rc, 4), 280.0f);  // AC over-voltage limit
    EXPECT_NEAR(host.units[3]->Get_Value(0, "v"), 53.5f, 0.06f);
    // Healthy: no check active, and the model is the supported one.
    EXPECT_TRUE(host.active_rules().empty()) << host.active_rules().front();
    for (const auto& b : host.ctl->batches)
        for (const auto& r : b.rules) EXPECT_NE(r.key, "device_model");

    // The first cycle reads everything (11 answers); the second, nothing
    // having changed, only what the data flags ask for (5).
    EXPECT_EQ(sim.stop(), 0);
    const auto st = sim.stats();
    EXPECT_EQ(st.at("cycles"), 2u);
    EXPECT_EQ(st.at("requests"), 16u);
    ASSERT_EQ(st.at("answers"), 16u);
    const double bytes = static_cast<double>(st.at("bytes_in") + st.at("bytes_out"));
    const double floor = bytes * 10 / 9600 + 0.020 * 16;
    const double ratio = (durations[0] + durations[1]) / floor;
    std::printf("reference site at 9600 baud: %.0f bytes on the line, cycles %.3f s + %.3f s, wire floor %.3f s, "
                "ratio %.3f\n",
                bytes, durations[0], durations[1], floor, ratio);
    RecordProperty("ratio", std::to_string(ratio));
    EXPECT_GE(ratio, 0.99);  // never faster than the wire
    EXPECT_LE(ratio, 1.25);
}
