#include "monitor/history_cli.h"

#include <unistd.h>

#include <iostream>

#include <CLI/CLI.hpp>
#include <fmt/format.h>

#include "monitor/app.h"
#include "monitor/clock_text.h"
#include "monitor/config.h"
#include "monitor/fd_io.h"
#include "monitor/history.h"
#include "monitor/sqlite_util.h"

namespace monitor {

namespace {

struct Target {
    std::string db;
    const model::Model* model = nullptr;
};

struct Failure {
    int code;
    std::string message;
};

// The database and the model: --db, or the config's "db" and "model".
Target find_db(const std::string& db, const std::string& config) {
    Target t{db, model::FindModel("M520S")};
    if (!config.empty()) {
        try {
            // The port is the monitor's business, not a reader's.
            const Config cfg = LoadConfigFile(config, Overrides{"(not used)", db, ""});
            t.db = cfg.db;
            t.model = model::FindModel(cfg.model);
        } catch (const ConfigError& e) {
            throw Failure{kExitConfig, e.what()};
        }
    }
    if (t.db.empty()) throw Failure{kExitConfig, "--db FILE or --config FILE is required"};
    return t;
}

void add_common(CLI::App* c, std::string& db, std::string& config, std::string& from, std::string& to,
                std::string& format, const char* from_default) {
    c->add_option("--db", db, "the SQLite database");
    c->add_option("--config", config, "the monitor's config file, for its \"db\" (and \"model\")");
    from = from_default;
    to = "now";
    c->add_option("--from", from, "ISO 8601, now, or before now (-30m, -24h, -7d)")->capture_default_str();
    c->add_option("--to", to, "as --from")->capture_default_str();
    c->add_option("--format", format, "csv or json")->check(CLI::IsMember({"csv", "json"}))->capture_default_str();
}

bool print(const std::string& text) {
    // The program's output may be a pipe that closes early (head): that is no failure of ours.
    return WriteAll(1, text) || errno == EPIPE;
}

template <class F>
int guarded(const char* name, F&& body) {
    try {
        return body() ? 0 : kExitOpen;
    } catch (const Failure& f) {
        std::cerr << "m520s-monitor " << name << ": " << f.message << "\n";
        return f.code;
    } catch (const QueryError& e) {
        std::cerr << "m520s-monitor " << name << ": " << e.what() << "\n";
        return kExitConfig;
    } catch (const StoreError& e) {
        std::cerr << "m520s-monitor " << name << ": " << e.what() << "\n";
        return kExitOpen;
    }
}

}  // namespace

QueryCommands::QueryCommands(CLI::App& app) {
    history_cmd = app.add_subcommand("history", "print one or more fields' stored values (CSV or JSON)");
    add_common(history_cmd, h.db, h.config, h.from, h.to, h.format, kHistoryFrom);
    history_cmd->add_option("--step", step, "raw, 1m, 1h, or auto (raw up to 6 h, 1m up to 10 days, else 1h)")
        ->capture_default_str();
    history_cmd->add_option("FIELD", fields, "field paths as in the \"cycle\" line: 11.channels[0].a, 21.v")
        ->required();
    alarms_cmd = app.add_subcommand("alarms", "print the stored alarm events (CSV or JSON)");
    add_common(alarms_cmd, a.db, a.config, a.from, a.to, a.format, kAlarmsFrom);
    alarms_cmd->add_flag("--active", active, "the active alarms instead of the events");
    alarms_cmd->add_option("--level", level, "only alarms of this level");
}

bool QueryCommands::Chosen() const { return history_cmd->parsed() || alarms_cmd->parsed(); }

int QueryCommands::Run() const { return history_cmd->parsed() ? history() : alarms(); }

int QueryCommands::history() const {
    return guarded("history", [&] {
        HistoryQuery q;
        q.step = ParseStep(step);
        const int64_t now = NowMs();
        q.from_ms = ParseTime(h.from, now);
        q.to_ms = ParseTime(h.to, now);
        q.fields = fields;
        const Target t = find_db(h.db, h.config);
        const HistoryReader reader(t.db, *t.model);
        const HistoryTable table = reader.History(q);
        return print(h.format == "json" ? HistoryJson(table) : HistoryCsv(table));
    });
}

int QueryCommands::alarms() const {
    return guarded("alarms", [&] {
        AlarmQuery q;
        const int64_t now = NowMs();
        q.from_ms = ParseTime(a.from, now);
        q.to_ms = ParseTime(a.to, now);
        q.active = active;
        q.level = level;
        const Target t = find_db(a.db, a.config);
        const HistoryReader reader(t.db, *t.model);
        const auto rows = reader.Alarms(q);
        return print(a.format == "json" ? AlarmsJson(rows) : AlarmsCsv(rows));
    });
}

}  // namespace monitor
