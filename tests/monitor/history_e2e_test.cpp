// The history through the real programs: m520s-monitor against m520s-sim,
// then `m520s-monitor history` and `alarms` on what it stored; and a
// version-1 database of the previous release taken over by the program.

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <map>
#include <sstream>

#include "tests/monitor/e2e_support.h"
#include "tests/monitor/monitor_process.h"
#include "tests/monitor/test_support.h"
#include "tests/support/time_scale.h"

namespace monitor_test {
namespace {

int ms(std::chrono::seconds s) { return static_cast<int>(Scaled(s).count()); }

bool IsCycle(const Json::Value& e) { return e["event"] == "cycle"; }

// A field's value in a "cycle" line: "11.channels[0].a" -> unit 11, channels[0].a.
Json::Value FieldOf(const Json::Value& cycle, const std::string& path) {
    const unsigned device = static_cast<unsigned>(std::stoul(path));
    for (const auto& u : cycle["units"]) {
        if (u["device"].asUInt() != device) continue;
        Json::Value v = u["values"];
        std::string rest = path.substr(path.find('.') + 1);
        while (!rest.empty()) {
            const size_t end = rest.find_first_of(".[");
            const std::string name = rest.substr(0, end);
            rest = end == std::string::npos ? "" : rest.substr(end);
            if (!name.empty()) v = v[name];
            if (!rest.empty() && rest[0] == '[') {
                const size_t close = rest.find(']');
                v = v[static_cast<Json::ArrayIndex>(std::stoul(rest.substr(1, close - 1)))];
                rest = rest.substr(close + 1);
            }
            if (!rest.empty() && rest[0] == '.') rest = rest.substr(1);
        }
        return v;
    }
    return Json::Value();
}

struct Output {
    int code;
    std::string out, err;
};

Output Query(const std::vector<std::string>& args) {
    MonitorProcess p(M520S_MONITOR_PATH, args);
    Output r;
    r.code = p.Wait(ms(std::chrono::seconds(60)));
    r.err = p.Stderr();
    p.Rest();  // every line of the output, kept in p.lines
    for (const auto& l : p.lines) r.out += l + "\n";
    return r;
}

std::vector<std::vector<std::string>> Csv(const std::string& text) {
    std::vector<std::vector<std::string>> rows;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        std::vector<std::string> cells;
        std::string cell;
        std::istringstream l(line);
        while (std::getline(l, cell, ',')) cells.push_back(cell);
        if (!line.empty() && line.back() == ',') cells.push_back("");
        rows.push_back(cells);
    }
    return rows;
}

Json::Value Parse(const std::string& text) {
    Json::Value v;
    std::istringstream(text) >> v;
    return v;
}

// Four cycles of the simulator, stored once for the tests here; an alarm
// raised in the second.
class HistoryCommands : public ::testing::Test {
protected:
    static constexpr size_t kCycles = 4;
    static void SetUpTestSuite() {
        dir = new TempDir;
        WriteFile(*dir / "scenario.json", R"({"timeline": [{"at_cycle": 2, "set": {"dc[1].v_state": 1}}]})");
        Sim sim({"--scenario", *dir / "scenario.json"});
        config = WriteConfig(*dir / "site.json", sim.pty, *dir / "site.db");
        MonitorProcess mon(M520S_MONITOR_PATH, {"--config", config, "--json", "--cycles", std::to_string(kCycles)});
        ASSERT_EQ(mon.Wait(ms(std::chrono::seconds(120))), 0) << mon.Stderr();
        for (const auto& e : mon.Rest())
            if (IsCycle(e)) cycles.push_back(e);
    }
    static void TearDownTestSuite() { delete dir; }
    void SetUp() override {
        ASSERT_EQ(cycles.size(), kCycles);
        db = *dir / "site.db";
    }
    // The raw rows of `fields` as CSV cells, header first.
    std::vector<std::vector<std::string>> RawRows() {
        std::vector<std::string> args = {"history", "--db", db, "--step", "raw", "--from", "-1h"};
        args.insert(args.end(), fields.begin(), fields.end());
        const Output raw = Query(args);
        EXPECT_EQ(raw.code, 0) << raw.err;
        return Csv(raw.out);
    }
    static TempDir* dir;
    static std::string config;
    static std::vector<Json::Value> cycles;
    std::string db;
    const std::vector<std::string> fields = {"11.channels[0].a", "21.v", "1.modules[3].module_value", "22.v_state"};
};
TempDir* HistoryCommands::dir = nullptr;
std::string HistoryCommands::config;
std::vector<Json::Value> HistoryCommands::cycles;

TEST_F(HistoryCommands, RawIsWhatTheCycleLinesSaid) {
    const auto rows = RawRows();
    ASSERT_EQ(rows.size(), kCycles + 1);
    EXPECT_EQ(rows[0], (std::vector<std::string>{"time", fields[0], fields[1], fields[2], fields[3]}));
    for (size_t c = 0; c < kCycles; ++c) {
        ASSERT_EQ(rows[c + 1].size(), 5u);
        EXPECT_EQ(rows[c + 1][0].substr(0, 19), cycles[c]["time"].asString().substr(0, 19));
        for (size_t f = 0; f < fields.size(); ++f)
            EXPECT_EQ(std::strtod(rows[c + 1][f + 1].c_str(), nullptr), FieldOf(cycles[c], fields[f]).asDouble())
                << fields[f] << " of cycle " << c + 1;
    }
}

// Each minute's roll-up is the cycles of that minute summed up.
TEST_F(HistoryCommands, AMinuteSumsUpItsCycles) {
    const auto rows = RawRows();
    ASSERT_EQ(rows.size(), kCycles + 1);
    std::vector<std::string> args = {"history", "--format", "json", "--db", db, "--step", "1m", "--from", "-1h"};
    args.insert(args.end(), fields.begin(), fields.end());
    const Output minutes = Query(args);
    ASSERT_EQ(minutes.code, 0) << minutes.err;
    const Json::Value m = Parse(minutes.out);
    EXPECT_EQ(m["step"], "1m");
    ASSERT_GE(m["rows"].size(), 1u);
    size_t seen = 0;
    for (const auto& row : m["rows"]) {
        const std::string minute = row[0].asString().substr(0, 16);
        for (size_t f = 0; f < fields.size(); ++f) {
            double lo = INFINITY, hi = -INFINITY, sum = 0;
            int n = 0;
            for (size_t c = 0; c < kCycles; ++c) {
                if (rows[c + 1][0].substr(0, 16) != minute) continue;
                const double v = FieldOf(cycles[c], fields[f]).asDouble();
                lo = std::min(lo, v), hi = std::max(hi, v), sum += v, ++n;
            }
            ASSERT_GT(n, 0) << minute;
            if (f == 0) seen += static_cast<size_t>(n);
            const auto at = [&](size_t i) { return row[static_cast<Json::ArrayIndex>(3 * f + i)]; };
            EXPECT_EQ(at(3).asDouble(), hi) << fields[f] << " " << minute;
            if (f == 3) {  // a state keeps its max only
                EXPECT_TRUE(at(1).isNull() && at(2).isNull());
                continue;
            }
            EXPECT_EQ(at(1).asDouble(), lo) << fields[f] << " " << minute;
            EXPECT_NEAR(at(2).asDouble(), sum / n, 1e-5 * std::fabs(sum / n)) << fields[f] << " " << minute;
        }
    }
    EXPECT_EQ(seen, kCycles);
}

// The alarm the scenario raised, as an event and as still active; through
// the config too; and what is refused, in one line naming it.
TEST_F(HistoryCommands, AlarmsAndRefusals) {
    const Output alarms = Query({"alarms", "--config", config, "--format", "json"});
    ASSERT_EQ(alarms.code, 0) << alarms.err;
    const Json::Value events = Parse(alarms.out);
    ASSERT_EQ(events.size(), 1u) << alarms.out;
    EXPECT_EQ(events[0]["action"], "raise");
    EXPECT_EQ(events[0]["device"], 22);
    EXPECT_EQ(events[0]["key"], "DC_0");
    EXPECT_FALSE(events[0]["label"].asString().empty());
    const Output active = Query({"alarms", "--db", db, "--active"});
    ASSERT_EQ(active.code, 0) << active.err;
    EXPECT_EQ(Csv(active.out).size(), 2u) << active.out;

    const std::vector<std::pair<std::vector<std::string>, std::pair<int, std::string>>> refusals = {
        {{"history", "--db", db, "21.nope"},
         {2, "m520s-monitor history: unknown field 21.nope: DC 21 has no value nope\n"}},
        {{"history", "--db", db, "--step", "2m", "21.v"},
         {2, "m520s-monitor history: step \"2m\": expected raw, 1m, 1h or auto\n"}},
        {{"history", "--db", db, "--from", "yesterday", "21.v"}, {2, "m520s-monitor history: time \"yesterday\""}},
        {{"history", "21.v"}, {2, "m520s-monitor history: --db FILE or --config FILE is required\n"}},
        {{"history", "--db", *dir / "none.db", "21.v"}, {3, "m520s-monitor history: database " + (*dir / "none.db")}},
        {{"alarms", "--db", db, "--format", "xml"}, {2, "m520s-monitor: --format: xml not in {csv,json}"}},
    };
    for (const auto& [a, expect] : refusals) {
        const Output r = Query(a);
        EXPECT_EQ(r.code, expect.first) << a[a.size() - 1];
        EXPECT_EQ(r.err.rfind(expect.second, 0), 0u) << r.err;
        EXPECT_TRUE(r.out.empty()) << r.out;
    }
    EXPECT_FALSE(std::filesystem::exists(*dir / "none.db"));
}

TEST(HistoryMigration, AVersionOneDatabaseIsTakenOverWithItsHistory) {
    TempDir dir;
    const std::string db = dir / "old.db";
    std::filesystem::copy_file(std::string(M520S_TEST_DATA) + "/v1_site.db", db);
    Sim sim({});
    std::string config = WriteConfig(dir / "site.json", sim.pty, db);
    // The old rows stay whatever day this runs.
    WriteFile(config, ReadFile(config).substr(0, ReadFile(config).rfind('}')) +
                          R"(,"history": {"raw_days": 3650, "minute_days": 3650, "hour_days": 3650}})");
    MonitorProcess mon(M520S_MONITOR_PATH, {"--config", config, "--json", "--cycles", "2"});
    ASSERT_EQ(mon.Wait(ms(std::chrono::seconds(90))), 0) << mon.Stderr();
    int restored = 0;
    bool migrated = false, cleared = false;
    for (const auto& e : mon.Rest()) {
        restored += e["event"] == "restore" && e["ok"].asBool();
        migrated = migrated || e["text"].asString().find("migrated to schema version 2") != std::string::npos;
        cleared = cleared || (e["event"] == "alarm" && e["action"] == "clear" && e["key"] == "RC_0");
    }
    EXPECT_EQ(restored, 5);
    EXPECT_TRUE(migrated);
    EXPECT_TRUE(cleared);  // active when the old program stopped, no longer true
    MonitorProcess q(M520S_MONITOR_PATH, {"history", "--db", db, "--from", "2026-01-01", "--step", "raw", "21.v"});
    EXPECT_EQ(q.Wait(ms(std::chrono::seconds(60))), 0) << q.Stderr();
    q.Rest();
    EXPECT_EQ(q.lines.size(), 1u + 6 + 2);  // the header, the old program's six cycles, two new ones
    MonitorProcess a(M520S_MONITOR_PATH, {"alarms", "--db", db, "--from", "2026-01-01"});
    EXPECT_EQ(a.Wait(ms(std::chrono::seconds(60))), 0) << a.Stderr();
    a.Rest();
    EXPECT_EQ(a.lines.size(), 1u + 3 + 1);  // the old three events and the clear
}

}  // namespace
}  // namespace monitor_test
