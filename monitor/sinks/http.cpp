#include "monitor/sinks/http.h"

#include <httplib.h>

#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include <fmt/format.h>

#include "monitor/clock_text.h"
#include "monitor/sinks/http_render.h"
#include "monitor/sinks/http_shared.h"

namespace monitor {

namespace {

// Idle and slow clients are let go after this; a stop waits at most as long
// for a connection that is between requests.
constexpr time_t kIdleSeconds = 5;
constexpr time_t kIoSeconds = 5;
// Nothing the server takes has a body; what a client sends anyway is cut off.
constexpr size_t kMaxBody = 4096;

std::unique_ptr<httplib::Server> make_server(const HttpConfig& c) {
    if (!c.tls) return std::make_unique<httplib::Server>();
    auto s = std::make_unique<httplib::SSLServer>(c.tls->cert_file.c_str(), c.tls->key_file.c_str());
    if (!s->is_valid())
        throw std::runtime_error(fmt::format("http: TLS certificate {} or key {} refused", c.tls->cert_file,
                                             c.tls->key_file));
    return s;
}

}  // namespace

std::shared_ptr<const std::string> HttpShared::StateJsonCached() {
    const auto s = Site();
    const std::string& second = EventTime();
    std::lock_guard<std::mutex> l(state_lock);
    if (!state_json || state_version != s->version || state_second != second) {
        state_json = std::make_shared<const std::string>(StateJson(*s));
        state_version = s->version;
        state_second = second;
    }
    return state_json;
}

HttpServer::HttpServer(HttpConfig config, const model::Model& model, std::string db_path, Emit e)
    : shared(std::make_unique<HttpShared>(std::move(config), model, std::move(db_path))), emit(std::move(e)) {
    const HttpConfig& c = shared->config;
    shared->files.LoadDir(WwwDir());
    shared->files.Add("chart.min.js", kChartJsPath);
    server = make_server(c);
    // Headers and body go out in separate writes: without this, Nagle and a
    // delayed acknowledgement hold every small answer back some 40 ms.
    server->set_tcp_nodelay(true);
    // The library's default adds SO_REUSEPORT, which lets a second monitor
    // bind the same port and take half the connections; only a restart's
    // lingering sockets are let past.
    server->set_socket_options([](socket_t sock) {
        int yes = 1;
        ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    server->set_keep_alive_timeout(kIdleSeconds);
    server->set_keep_alive_max_count(100);
    server->set_read_timeout(kIoSeconds, 0);
    server->set_write_timeout(kIoSeconds, 0);
    server->set_payload_max_length(kMaxBody);
    HttpShared* sh = shared.get();
    server->new_task_queue = [sh] { return new ClientPool(sh->config.max_clients, sh->pool); };
    InstallRoutes(*server, *shared);
    InstallHistoryRoutes(*server, *shared);
    int err = 0;
    for (int p = c.port; p <= c.last_port; ++p) {
        if (server->bind_to_port(c.host, p)) {
            port = p;
            break;
        }
        err = errno;
    }
    if (!port)
        throw std::runtime_error(fmt::format("http: cannot listen on {}:{}{}: {}", c.host, c.port,
                                             c.last_port > c.port ? fmt::format("-{}", c.last_port) : "",
                                             err ? std::strerror(err) : "address refused"));
    url = HttpUrl(c, port);
    listener = std::thread([this] { server->listen_after_bind(); });
}

HttpServer::~HttpServer() { Stop(); }

void HttpServer::OnEvent(const Event& event, const SiteSnapshot&) {
    if (stopped) return;
    if (const auto* c = event.As<CycleEvent>()) shared->cycles.Add(static_cast<double>(c->duration_ms) / 1000.0);
    shared->events.Push(event);
}

void HttpServer::OnSite(const std::shared_ptr<const SiteSnapshot>& site) { shared->SetSite(site); }

int HttpServer::Tick(SteadyClock::time_point) {
    if (!announced && !stopped) {
        announced = true;
        if (emit) emit(HttpEvent{url});
    }
    return -1;
}

std::optional<SinkState> HttpServer::State() const {
    SinkState s;
    s.name = "http";
    s.up = !stopped;
    s.counters = {{"clients", shared->pool.active.load()},
                  {"requests", shared->requests.load()},
                  {"refused", shared->pool.refused.load()},
                  {"login_failures", shared->auth.Failures()}};
    s.detail = url;
    return s;
}

void HttpServer::Stop() {
    if (stopped) return;
    stopped = true;
    shared->events.Stop();
    shared->auth.Stop();
    server->stop();
    if (listener.joinable()) listener.join();
}

}  // namespace monitor
