// The program's command line and signals: refusals with one line and exit 2,
// a line that cannot be opened exit 3, SIGHUP re-reads the scenario, SIGINT
// stops it cleanly with its counters.

#include <gtest/gtest.h>

#include "tests/sim/sim_harness.h"

using namespace sim_test;

TEST(SimCommandLine, HelpVersionAndRefusals) {
    auto r = run_sim({"--help"});
    EXPECT_EQ(r.status, 0);
    for (const char* opt : {"--pty", "--port", "--scenario", "--baud", "--replay", "--seed", "--stats", "--version"})
        EXPECT_NE(r.out.find(opt), std::string::npos) << opt;
    EXPECT_EQ(run_sim({"--version"}).out.rfind("m520s-sim ", 0), 0u);

    TempFile bad(R"({"dc": [{"v_state": "x"}]})");
    TempFile hex("0.0 tx 7E30\n0.1 rx 7Z\n", ".capture"), back("0.5 tx 7E0D\n0.1 rx 7E0D\n", ".capture"),
        norequest("# nothing\n0.0 rx 7E0D\n", ".capture");
    const std::pair<std::vector<std::string>, std::string> refusals[] = {
        {{}, "one of --pty and --port is required (see --help)"},
        {{"--pty", "--port", "/dev/null"}, "--pty excludes --port (see --help)"},
        {{"--pty", "--baud", "7"}, "--baud: Value 7 not in range 50 to 4000000 (see --help)"},
        {{"--pty", "--colour"}, "The following argument was not expected: --colour (see --help)"},
        {{"--pty", "--scenario", bad.path}, bad.path + ": dc[0].v_state: expected an integer from 0 to 255, found \"x\""},
        {{"--pty", "--scenario", "/nonexistent.json"},
         "/nonexistent.json: (top level): expected a readable file, found none (No such file or directory)"},
        {{"--pty", "--replay", hex.path}, hex.path + ":2: expected hex bytes, found \"7Z\""},
        {{"--pty", "--replay", back.path}, back.path + ":2: times go backwards"},
        {{"--pty", "--replay", norequest.path}, norequest.path + ": no request in the capture"},
    };
    for (const auto& [args, message] : refusals) {
        r = run_sim(args);
        EXPECT_EQ(r.status, 2) << message;
        EXPECT_EQ(r.err, "m520s-sim: " + message + "\n");
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
    auto reread = [&](const std::string& content, const std::string& reply) {
        file.write(content);
        sim.signal(SIGHUP);
        const auto t0 = Clock::now();
        while (sim.stderr_text().find(reply) == std::string::npos && seconds_since(t0) < 5) usleep(20000);
        EXPECT_NE(sim.stderr_text().find(reply), std::string::npos) << reply;
        host.run_cycles(1, 10);
        return host.units[2]->Get_Value(0, "v");
    };
    host.run_cycles(1, 10);
    EXPECT_EQ(host.units[2]->Get_Value(0, "v"), 48.0f);
    EXPECT_EQ(reread(R"({"dc": [{"v": 49.5}, {}]})", "m520s-sim: re-read " + file.path), 49.5f);
    // A file that no longer reads leaves the scenario in use.
    EXPECT_EQ(reread(R"({"dc": [{"v": "high"}]})", "(keeping the scenario in use)"), 49.5f);
    EXPECT_EQ(host.cycles(), 3u);
    // Counters every half second while it runs, and once more at the end.
    const auto text = sim.stderr_text();
    EXPECT_GE(std::count(text.begin(), text.end(), '\n'), 4);
    sim.signal(SIGINT);
    EXPECT_EQ(sim.stop(), 0);
    EXPECT_EQ(sim.stats().at("cycles"), 3u);
}
