#pragma once
// The subcommands that read the history: `m520s-monitor history` and
// `m520s-monitor alarms`. They only read the database (the monitor may be
// running on it) and print CSV or JSON on standard output.
//
// Exit codes: 0 done; 2 a bad option, field or time (one line naming it);
// 3 the database cannot be opened.

#include <optional>
#include <string>
#include <vector>

namespace CLI {
class App;
}

namespace monitor {

class QueryCommands {
public:
    // Adds the subcommands to the program's command line.
    explicit QueryCommands(CLI::App& app);
    // After parsing: whether one of them was given, and running it.
    bool Chosen() const;
    int Run() const;

private:
    struct Common {
        std::string db, config, from, to, format = "csv";
    };
    int history() const;
    int alarms() const;

    CLI::App* history_cmd = nullptr;
    CLI::App* alarms_cmd = nullptr;
    Common h, a;
    std::string step = "auto";
    std::vector<std::string> fields;
    bool active = false;
    std::optional<int> level;
};

}  // namespace monitor
