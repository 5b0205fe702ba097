// The program's command line and signals: refusals with one line and exit 2,
// a line that cannot be opened exit 3, SIGHUP re-reads the scenario, SIGINT
// and SIGTERM stop it cleanly with its counters.

#include <gtest/gtest.h>

#include "tests/sim/sim_harness.h"

using namespace sim_test;

TEST(SimCommandLine, HelpVersionAndRefusals) {
    auto r = run_sim({"--help"});
    EXPECT_EQ(r.status, 0);
    for (const char* opt : {"--pty", "--port", "--scenario", "--baud", "--replay", "--seed", "--stats", "--version"})
        EXPECT_NE(r.out.find(opt), std::string::npos) << opt;
    r = run_sim({"--version"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.rfind("m520s-sim ", 0), 0u);

    TempFile bad(R"({"dc": [{"v_state": "x"}]})");
    const std::pair<std::vector<std::string>, std::string> refusals[] = {
        {{}, "m520s-sim: one of --pty and --port is required (see --help)\n"},
        {{"--pty", "--port", "/dev/null"}, "m520s-sim: --pty excludes --port (see --help)\n"},
        {{"--pty", "--baud", "fast"}, "m520s-sim: --baud: Value fast not in range 50 to 4000000 (see --help)\n"},
        {{"--pty", "--colour"}, "m520s-sim: The following argument was not expected: --colour (see --help)\n"},
        {{"--pty", "--scenario", bad.path},
         "m520s-sim: " + bad.path + ": dc[0].v_state: expected an integer from 0 to 255, found \"x\"\n"},
        {{"--pty", "--scenario", "/nonexistent.json"},
         "m520s-sim: /nonexistent.json: (top level): expected a readable file, found none (No such file or directory)\n"},
    };
    for (const auto& [args, message] : refusals) {
        r = run_sim(args);
        EXPECT_EQ(r.status, 2) << message;
        EXPECT_EQ(r.err, message);
        EXPECT_EQ(r.out, "");
    }
    r = run_sim({"--port", "/nonexistent/ttyS9"});
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.err, "m520s-sim: /nonexistent/ttyS9: cannot open: No such file or directory\n");
}

TEST(SimCommandLine, SighupRereadsTheScenarioAndSigintStopsWithTheCounters) {
    TempFile file(R"({"dc": [{"v": 48.0}, {}]})");
    SimProcess sim({"--scenario", file.path, "--stats", "0.5"});
    Host host(settings_for(2, 2), sim.pty);
    host.run_cycles(1, 10);
    ASSERT_EQ(host.cycles(), 1u);
    EXPECT_EQ(host.units[2]->Get_Value(0, "v"), 48.0f);

    auto wait_for = [&](const std::string& text) {
        const auto t0 = Clock::now();
        while (sim.stderr_text().find(text) == std::string::npos && seconds_since(t0) < 5) usleep(20000);
        return sim.stderr_text().find(text) != std::string::npos;
    };
    file.write(R"({"dc": [{"v": 49.5}, {}]})");
    sim.signal(SIGHUP);
    ASSERT_TRUE(wait_for("m520s-sim: re-read " + file.path));
    host.run_cycles(1, 10);
    EXPECT_EQ(host.units[2]->Get_Value(0, "v"), 49.5f);
    // A file that no longer reads leaves the scenario in use.
    file.write(R"({"dc": [{"v": "high"}]})");
    sim.signal(SIGHUP);
    ASSERT_TRUE(wait_for("(keeping the scenario in use)"));
    host.run_cycles(1, 10);
    EXPECT_EQ(host.units[2]->Get_Value(0, "v"), 49.5f);
    EXPECT_EQ(host.cycles(), 3u);
    // Counters come every half second while it runs, and once more at the end.
    const auto text = sim.stderr_text();
    EXPECT_GE(std::count(text.begin(), text.end(), '\n'), 4);
    sim.signal(SIGINT);
    EXPECT_EQ(sim.stop(), 0);
    EXPECT_EQ(sim.stats().at("cycles"), 3u);
}
