// m520s-sim: a simulated M520S controller on a pseudo-terminal or a serial line.

#include <iostream>
#include <optional>
#include <string>

#include <CLI/CLI.hpp>

#include "common/cli_whole_number.h"
#include "sim/line.h"
#include "sim/replay.h"
#include "sim/scenario.h"
#include "sim/server.h"
#include "sim/simulator.h"

#ifndef M520S_VERSION
#define M520S_VERSION "0.1.0"
#endif

int main(int argc, char** argv) {
    CLI::App app{
        "m520s-sim: a simulated M520S power system controller. It answers every request of the "
        "driver's polling cycle from a JSON scenario (the reference site by default: 2 AC panels of "
        "3 channels, 2 DC panels, 8 rectifier modules), with fault injection, line-rate pacing and "
        "replay of a wire capture. See sim/README.md for the scenario format.",
        "m520s-sim"};
    bool pty = false, verbose = false;
    std::string port, scenario_file, replay_file;
    int baud = 0;
    uint64_t seed = 1;
    unsigned stats_s = 0;
    auto* o_pty = app.add_flag("--pty", pty, "open a pseudo-terminal and print \"pty: <path>\" first");
    auto* o_port = app.add_option("--port", port, "serve an existing serial line (raw, 8N1)");
    o_pty->excludes(o_port);
    auto* o_scn = app.add_option("--scenario", scenario_file, "scenario file (JSON); SIGHUP re-reads it");
    auto* o_rep = app.add_option("--replay", replay_file, "answer from a wire capture instead of a scenario");
    o_scn->excludes(o_rep);
    // Whole numbers only: a rate, any 64-bit seed, whole seconds up to a day.
    app.add_option("--baud", baud,
                   "pace answers at this line rate, 10 bits a byte (with --port also the line's speed, default 9600)")
        ->check(m520s::cli::WholeNumber(50, 4000000));
    app.add_option("--seed", seed, "seed of the fault draws; the same seed repeats them exactly (default 1)")
        ->check(m520s::cli::WholeNumber(0, UINT64_MAX));
    app.add_option("--stats", stats_s, "report the counters on standard error every N seconds")
        ->check(m520s::cli::WholeNumber(1, 86400));
    app.add_flag("--verbose", verbose, "log every request and answer on standard error");
    app.set_version_flag("--version", std::string("m520s-sim ") + M520S_VERSION);
    try {
        app.parse(argc, argv);
        if (!pty && port.empty()) throw CLI::RequiredError("one of --pty and --port");
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        std::cerr << "m520s-sim: " << e.what() << " (see --help)\n";
        return 2;
    }

    std::optional<sim::Scenario> scenario;
    std::optional<sim::Replay> replay;
    try {
        scenario = scenario_file.empty() ? sim::Scenario::reference() : sim::Scenario::load_file(scenario_file);
        if (!replay_file.empty()) replay = sim::Replay::load_file(replay_file);
    } catch (const std::exception& e) {
        std::cerr << "m520s-sim: " << e.what() << "\n";
        return 2;
    }

    try {
        sim::Line line = pty ? sim::Line::open_pty() : sim::Line::open_port(port, baud > 0 ? baud : 9600);
        line.set_pacing(baud);
        if (pty) std::cout << "pty: " << line.path() << std::endl;
        sim::ServerOptions opt;
        if (!scenario_file.empty()) opt.scenario_file = scenario_file;
        opt.stats_every_s = stats_s;
        opt.verbose = verbose;
        sim::Server server(std::move(line), sim::Simulator(std::move(*scenario), seed), std::move(replay), opt);
        return server.run();
    } catch (const std::exception& e) {
        std::cerr << "m520s-sim: " << e.what() << "\n";
        return 3;
    }
}
