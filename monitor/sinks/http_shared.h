#pragma once
// What the HTTP server's handlers share, on the server's threads: the last
// site snapshot the poll thread handed over, the event stream, the cycle
// histogram, the login, the files. Nothing here reaches the poll thread's
// objects.

#include <httplib.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

#include "monitor/models/model.h"
#include "monitor/sinks/http_auth.h"
#include "monitor/sinks/http_config.h"
#include "monitor/sinks/http_events.h"
#include "monitor/sinks/http_files.h"
#include "monitor/sinks/http_pool.h"
#include "monitor/sinks/metrics.h"

namespace monitor {

struct HttpShared {
    HttpShared(HttpConfig c, const model::Model& m, std::string db)
        : config(std::move(c)), model(m), db_path(std::move(db)), auth(config.users) {}

    std::shared_ptr<const SiteSnapshot> Site() const {
        std::lock_guard<std::mutex> l(site_lock);
        return site;
    }
    void SetSite(std::shared_ptr<const SiteSnapshot> s) {
        std::lock_guard<std::mutex> l(site_lock);
        site.swap(s);
        // The old snapshot is released outside the lock.
    }

    // /api/state rendered once per snapshot and second.
    std::shared_ptr<const std::string> StateJsonCached();

    const HttpConfig config;
    const model::Model& model;
    const std::string db_path;
    HttpAuth auth;
    EventStream events;
    CycleHistogram cycles;
    StaticFiles files;
    PoolStats pool;
    std::atomic<uint64_t> requests{0};

private:
    mutable std::mutex site_lock;
    std::shared_ptr<const SiteSnapshot> site;
    std::mutex state_lock;
    uint64_t state_version = 0;
    std::string state_second;
    std::shared_ptr<const std::string> state_json;
};

// The routes of the dashboard, the API and the metrics, with the checks
// every request passes first (method, size, login).
void InstallRoutes(httplib::Server& server, HttpShared& shared);
// /api/history and /api/alarms, through the history queries.
void InstallHistoryRoutes(httplib::Server& server, HttpShared& shared);

// The answer to a request that is refused: status, a one-line reason.
void Refuse(httplib::Response& res, int status, const std::string& reason);

}  // namespace monitor
