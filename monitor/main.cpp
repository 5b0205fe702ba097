// m520s-monitor: polls an M520S controller through the driver plug-in, keeps
// its values, history and alarms in SQLite and shows them live or as JSON
// lines. With no arguments it starts the simulator and runs against it.

#include <malloc.h>
#include <signal.h>

#include <iostream>

#include <CLI/CLI.hpp>

#include "common/cli_whole_number.h"
#include "monitor/app.h"
#include "monitor/history_cli.h"
#include "monitor/passwd.h"
#include "monitor/version.h"

int main(int argc, char** argv) {
    // Signals arrive through a signalfd on the poll thread; a reader that
    // closes our output is noticed by write() instead of killing us.
    const sigset_t sigs = monitor::StopSignals();
    ::pthread_sigmask(SIG_BLOCK, &sigs, nullptr);
    ::signal(SIGPIPE, SIG_IGN);
    // A file past the size limit fails its write (the store says so and
    // retries) instead of killing the program.
    ::signal(SIGXFSZ, SIG_IGN);
    // glibc gives each thread that allocates an arena of its own, up to eight
    // per core, and each keeps what it once held: with the HTTP clients' threads
    // the resident size crept up for many minutes. Two arenas are plenty for
    // a poll thread, a store and a few clients.
    ::mallopt(M_ARENA_MAX, 2);

    monitor::AppOptions opts;
    CLI::App app{"m520s-monitor: polls an M520S power controller, stores its values and alarms in SQLite and shows "
                 "them.\nWithout --config or --port: a demo against the simulator m520s-sim on a pseudo-terminal."};
    app.set_version_flag("--version", "m520s-monitor " M520S_VERSION);
    app.add_option("--config", opts.config, "config file (JSON)");
    app.add_option("--port", opts.port, "serial line, overrides the config's \"port\"");
    app.add_option("--db", opts.db, "SQLite database, overrides the config's \"db\"");
    app.add_option("--plugin", opts.plugin, "driver plug-in, overrides the config's \"plugin\"");
    app.add_flag("--json", opts.json, "JSON lines on standard output instead of the live view");
    // Whole numbers only. A year of seconds at most: --seconds bounds a trial
    // run, a service runs without it.
    app.add_option("--cycles", opts.cycles, "exit 0 after N completed polling cycles")
        ->check(m520s::cli::WholeNumber(1, 1000000000));
    app.add_option("--seconds", opts.seconds, "exit after S seconds (4 if no cycle completed)")
        ->check(m520s::cli::WholeNumber(1, 31536000));
    app.add_option("--capture", opts.capture, "append every byte sent and received to FILE");
    CLI::App* passwd = app.add_subcommand(
        "passwd", "read a password (no echo on a terminal) and print its crypt(3) hash for the \"http\" users");
    app.footer("Exit codes: 0 done, 2 bad command line or config, 3 plug-in/port/database cannot be opened,\n"
               "4 no cycle completed within --seconds, 5 history that could not be written.");
    const monitor::QueryCommands queries(app);
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        std::cerr << "m520s-monitor: " << e.what() << " (see --help)\n";
        return monitor::kExitConfig;
    }
    if (*passwd) return monitor::RunPasswd(0, std::cout, std::cerr);
    if (queries.Chosen()) return queries.Run();
    // Without a config or a port it is the demo; the other options apply to it.
    opts.demo = opts.config.empty() && opts.port.empty();
    if (!opts.demo && opts.config.empty()) {
        std::cerr << "m520s-monitor: --config FILE is required with --port\n";
        return monitor::kExitConfig;
    }
    try {
        monitor::App m(opts);
        return m.Run();
    } catch (const monitor::AppFailure& f) {
        std::cerr << "m520s-monitor: " << f.what() << "\n";
        return f.code;
    } catch (const std::exception& e) {
        std::cerr << "m520s-monitor: " << e.what() << "\n";
        return monitor::kExitOpen;
    }
}
