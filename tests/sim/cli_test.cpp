// The program's command line: refusals with one line and exit 2, a line that
// cannot be opened exit 3. (Signals: the scenario end-to-end test.)

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>

#include "common/cli_number.h"
#include "tests/monitor/monitor_process.h"
#include "tests/sim/sim_harness.h"

using namespace sim_test;

TEST(SimCommandLine, HelpVersionAndRefusals) {
    auto r = run_sim({"--help"});
    EXPECT_EQ(r.status, 0);
    for (const char* opt : {"--pty", "--port", "--scenario", "--baud", "--replay", "--seed", "--stats", "--version"})
        EXPECT_NE(r.out.find(opt), std::string::npos) << opt;
    EXPECT_EQ(run_sim({"--version"}).out.rfind("m520s-sim ", 0), 0u);

    TempFile bad(R"({"dc": [{"v_state": "x"}]})");
    TempFile hex("0.0 tx 7E30\n0.1 rx 7Z\n", ".capture"), norequest("# nothing\n0.0 rx 7E0D\n", ".capture");
    const std::pair<std::vector<std::string>, std::string> refusals[] = {
        {{}, "one of --pty and --port is required (see --help)"},
        {{"--pty", "--colour"}, "The following argument was not expected: --colour (see --help)"},
        {{"--pty", "--scenario", bad.path}, bad.path + ": dc[0].v_state: expected an integer from 0 to 255, found \"x\""},
        {{"--pty", "--scenario", "/nonexistent.json"},
         "/nonexistent.json: (file): expected a readable file, found No such file or directory"},
        {{"--pty", "--replay", hex.path}, hex.path + ":2: expected hex bytes, found \"7Z\""},
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

// Scenario files that are no small regular file of sane JSON: exit 2 with
// one line, before the pseudo-terminal is opened. A FIFO that were read
// would block until the bounded wait gives up.
TEST(SimCommandLine, HostileScenarioFilesExitTwoWithOneLine) {
    TempFile fifo("", ".fifo"), big(std::string(1048577, ' ')), deep("{\"ac\": " + std::string(1000, '[') +
                                                                       std::string(1000, ']') + "}");
    TempFile nul(R"({"ac": [{"channels": [{"a\u0000\u001b": 1}]}]})");
    const std::string dir = fifo.path + ".d";
    ASSERT_EQ(unlink(fifo.path.c_str()), 0);
    ASSERT_EQ(mkfifo(fifo.path.c_str(), 0600), 0);
    ASSERT_TRUE(std::filesystem::create_directory(dir));
    const std::pair<std::string, std::string> cases[] = {
        {fifo.path, fifo.path + ": (file): expected a readable file, found a FIFO"},
        {"/dev/zero", "/dev/zero: (file): expected a readable file, found a character device"},
        {dir, dir + ": (file): expected a readable file, found a directory"},
        {big.path, big.path + ": (file): expected a file of at most 1048576 bytes (1 MB), found 1048577 bytes"},
        {deep.path, deep.path + ": (file): expected a JSON object nested at most 100 levels deep, found deeper nesting"},
        {nul.path, nul.path + ": ac[0].channels[0].a\\u0000\\u001b: expected one of a, b, c, f, p40_41_value, a_state, "
                              "b_state, c_state, f_state, p40_44_skipped, p40_44_state, comment, found unknown key "
                              "\"a\\u0000\\u001b\""},
    };
    for (const auto& [path, line] : cases) {
        monitor_test::MonitorProcess sim(M520S_SIM_PATH, {"--pty", "--scenario", path});
        EXPECT_EQ(sim.Wait(), 2) << path;
        EXPECT_EQ(sim.Stderr(), "m520s-sim: " + line + "\n");
        EXPECT_TRUE(sim.Rest().empty()) << path;  // no "pty:" line
    }
    std::filesystem::remove(dir);
}

TEST(SimCommandLine, PortServesAnExistingLineAndWaitsWhenItGoesAway) {
    int m = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);  // only the simulator holds the far end
    ASSERT_TRUE(m >= 0 && grantpt(m) == 0 && unlockpt(m) == 0);
    const std::string slave = ptsname(m);
    TempFile err("", ".err");
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(open(err.path.c_str(), O_WRONLY), 2);
        execl(M520S_SIM_PATH, M520S_SIM_PATH, "--port", slave.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    const std::string request = "~200140510000FDB3\r";
    usleep(300000);  // the line raw before anything goes over it
    ASSERT_EQ(write(m, request.data(), request.size()), static_cast<ssize_t>(request.size()));
    std::string answer;
    for (int i = 0; i < 50 && answer.find('\r') == std::string::npos; ++i) {
        usleep(50000);
        pollfd p{m, POLLIN, 0};
        char buf[256];
        if (poll(&p, 1, 0) > 0) answer.append(buf, static_cast<size_t>(std::max<ssize_t>(0, read(m, buf, sizeof buf))));
    }
    EXPECT_EQ(answer.substr(0, 9), "~20014000");  // the model answer, RTN 0
    close(m);
    for (int i = 0; i < 40 && err.read().find("line lost") == std::string::npos; ++i) usleep(50000);
    EXPECT_EQ(err.read().rfind("m520s-sim: " + slave + ": line lost, reopening it every second\n", 0), 0u);
    kill(pid, SIGTERM);
    int st = 0;
    waitpid(pid, &st, 0);
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0);
    EXPECT_EQ(stats_of(err.read()).at("answers"), 1u);
}

// Every number option takes a whole number in its range and nothing else:
// one line naming the option, the range and what was typed, exit 2, nothing
// opened. 0 is a seed like any other.
TEST(SimCommandLine, NumberOptionsTakeOnlyWholeNumbersInTheirRange) {
    struct Number {
        const char* option;
        const char* range;
        std::vector<std::string> refused;
    };
    const std::vector<std::string> never{"-1", "1.5", "nan", "inf", "1e17", "abc", "", "+3", "0x10"};
    const Number numbers[] = {
        {"--baud", "from 50 to 4000000", {"0", "49", "4000001", "100000000000000000"}},
        {"--seed", "from 0 to 18446744073709551615", {"18446744073709551616", "99999999999999999999"}},
        {"--stats", "from 1 to 86400", {"0", "86401", "100000000000000000"}},
    };
    for (const auto& n : numbers) {
        std::vector<std::string> values = n.refused;
        values.insert(values.end(), never.begin(), never.end());
        for (const auto& v : values) {
            const auto r = run_sim({"--pty", n.option, v});
            EXPECT_EQ(r.status, 2) << n.option << " " << v;
            EXPECT_EQ(r.err, std::string("m520s-sim: ") + n.option + ": expected a whole number " + n.range +
                                 ", found \"" + v + "\" (see --help)\n");
            EXPECT_EQ(r.out, "");
        }
    }
}

TEST(SimCommandLine, WholeNumbersAreDigitsWithinTheirBounds) {
    using m520s::cli::whole_number;
    EXPECT_EQ(whole_number("0", 0, 5), 0u);
    EXPECT_EQ(whole_number("007", 1, 10), 7u);
    EXPECT_EQ(whole_number("18446744073709551615", 0, UINT64_MAX), UINT64_MAX);
    EXPECT_FALSE(whole_number("18446744073709551616", 0, UINT64_MAX));
    EXPECT_FALSE(whole_number("000000000000000000001", 0, 5));  // longer than any 64-bit number
    EXPECT_FALSE(whole_number("11", 1, 10));
    EXPECT_FALSE(whole_number("0", 1, 10));
    for (const char* t : {"", "-0", "1.0", "1e3", " 1", "1 ", "\xd9\xa1"}) EXPECT_FALSE(whole_number(t, 0, 10)) << t;
    // What was typed, kept to one short line.
    EXPECT_EQ(m520s::cli::whole_number_refusal("a\nb", 1, 2), "expected a whole number from 1 to 2, found \"a?b\"");
    EXPECT_EQ(m520s::cli::whole_number_refusal(std::string(50, '9'), 1, 2),
              "expected a whole number from 1 to 2, found \"" + std::string(40, '9') + "...\"");
}
