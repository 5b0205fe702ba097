// A build without the history queries answers their paths plainly instead
// of with a 404 that reads like a mistyped address.

#include "monitor/sinks/http_shared.h"

namespace monitor {

void InstallHistoryRoutes(httplib::Server& s, HttpShared&) {
    for (const char* path : {"/api/history", "/api/alarms"})
        s.Get(path, [](const httplib::Request&, httplib::Response& res) {
            Refuse(res, 503, "history queries are not available in this build");
        });
}

}  // namespace monitor
