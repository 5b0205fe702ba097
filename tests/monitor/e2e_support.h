#pragma once
// What the end-to-end tests of the monitor share: the simulator on a
// pseudo-terminal, row counts of a database, one unit of a "cycle" line.

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <json/json.h>

#include "tests/monitor/monitor_process.h"

namespace monitor_test {

inline int64_t Count(const std::string& db, const std::string& sql) {
    sqlite3* h = nullptr;
    EXPECT_EQ(sqlite3_open_v2(db.c_str(), &h, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    sqlite3_stmt* s = nullptr;
    int64_t n = -1;
    if (sqlite3_prepare_v2(h, sql.c_str(), -1, &s, nullptr) == SQLITE_OK && sqlite3_step(s) == SQLITE_ROW)
        n = sqlite3_column_int64(s, 0);
    else
        ADD_FAILURE() << sql << ": " << sqlite3_errmsg(h);
    sqlite3_finalize(s);
    sqlite3_close(h);
    return n;
}

// The simulator on a pseudo-terminal of its own.
struct Sim {
    std::unique_ptr<MonitorProcess> proc;
    std::string pty;
    explicit Sim(std::vector<std::string> args) {
        if (!std::filesystem::exists(M520S_SIM_PATH)) throw std::runtime_error("m520s-sim not built: " M520S_SIM_PATH);
        args.insert(args.begin(), "--pty");
        proc = std::make_unique<MonitorProcess>(M520S_SIM_PATH, args);
        const Json::Value first = proc->NextEvent(10000);  // not JSON: kept as text
        const std::string line = first["text"].asString();
        if (line.rfind("pty: ", 0) != 0) throw std::runtime_error("m520s-sim said: " + line + proc->Stderr());
        pty = line.substr(5);
    }
};

inline const Json::Value& Unit(const Json::Value& cycle, unsigned device, const std::string& type) {
    for (const auto& u : cycle["units"])
        if (u["device"].asUInt() == device && u["device_type"] == type) return u;
    static const Json::Value none;
    ADD_FAILURE() << "no unit " << type << " " << device;
    return none;
}

}  // namespace monitor_test
