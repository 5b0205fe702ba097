// Line-rate pacing: at --baud 9600 a polling cycle of the reference site
// takes what its bytes take on the wire, 10 bits a byte, plus the driver's
// 20 ms pause per answer, and not much more. Prints the measured ratio.

#include <gtest/gtest.h>

#include <numeric>

#include "tests/sim/sim_harness.h"

using namespace sim_test;

TEST(Pacing, CycleWallTimeAt9600BaudAgainstTheWireFloor) {
    SimProcess sim({"--baud", "9600"});
    Host host(settings_for(2, 2, 1500), sim.pty);
    // The first cycle reads everything (11 answers), the second only what
    // the data flags ask for (5).
    const auto durations = host.run_cycles(2, 30, 10);
    ASSERT_EQ(durations.size(), 2u) << sim.stderr_text();
    EXPECT_EQ(host.counters().retransmits, 0u);
    EXPECT_EQ(sim.stop(), 0);
    const auto st = sim.stats();
    ASSERT_EQ(st.at("answers"), 16u);
    const double bytes = static_cast<double>(st.at("bytes_in") + st.at("bytes_out"));
    const double floor = bytes * 10 / 9600 + 0.020 * static_cast<double>(st.at("answers"));
    const double measured = durations[0] + durations[1];
    const double ratio = measured / floor;
    std::printf("reference site at 9600 baud: %.0f bytes on the line, cycles %.3f s + %.3f s, "
                "wire floor %.3f s, ratio %.3f\n",
                bytes, durations[0], durations[1], floor, ratio);
    RecordProperty("wire_floor_s", std::to_string(floor));
    RecordProperty("ratio", std::to_string(ratio));
    // Never faster than the wire; the host's poll tick and scheduling add little.
    EXPECT_GE(ratio, 0.99);
    EXPECT_LE(ratio, 1.25);
}
