#pragma once
// The dashboard, the HTTP API and the Prometheus metrics (cpp-httplib).
//
// The poll thread only hands over: OnSite keeps a pointer to the new
// immutable snapshot, OnEvent copies an event into the stream's short ring.
// Everything else (rendering pages, JSON and metrics, queries, the login,
// writing to clients) happens on the server's own threads: at most
// "max_clients" connections are served at once, each with read, write and
// idle time-outs, so a slow or hostile client costs a thread of its own and
// never the poll thread's time.

#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "monitor/sinks/http_config.h"
#include "monitor/sinks/sink.h"

namespace httplib {
class Server;
}

namespace monitor {

struct HttpShared;

class HttpServer : public Sink {
public:
    using Emit = std::function<void(Event::Body)>;
    // Binds at once (the demo tries its ports in turn) and serves on its own
    // threads. Throws std::runtime_error when it cannot listen or TLS files
    // are refused.
    HttpServer(HttpConfig config, const model::Model& model, std::string db_path, Emit emit);
    ~HttpServer() override;

    std::string Name() const override { return "http"; }
    void OnEvent(const Event& event, const SiteSnapshot& site) override;
    void OnSite(const std::shared_ptr<const SiteSnapshot>& site) override;
    int Tick(SteadyClock::time_point now) override;
    std::optional<SinkState> State() const override;
    void Stop() override;

    const std::string& Url() const { return url; }
    int Port() const { return port; }

private:
    std::unique_ptr<HttpShared> shared;
    std::unique_ptr<httplib::Server> server;
    Emit emit;
    std::string url;
    int port = 0;
    bool announced = false;
    bool stopped = false;
    std::thread listener;
};

}  // namespace monitor
