// The routes: pages, static files, the API, the metrics and the health
// check, behind the checks every request passes first.

#include <chrono>
#include <cstring>
#include <memory>

#include <fmt/format.h>

#include "monitor/sinks/http_render.h"
#include "monitor/sinks/http_shared.h"
#include "monitor/sinks/site_page.h"

namespace monitor {

namespace {

// Longer request targets and header blocks than these are no dashboard's.
constexpr size_t kMaxTarget = 2048;
constexpr size_t kMaxHeaderBytes = 8192;
constexpr auto kKeepAlive = std::chrono::seconds(15);  // an SSE comment this often finds dead clients
constexpr int kHealthySeconds = 60;

// No inline script or style anywhere; data only from this server.
constexpr const char* kCsp =
    "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self' data:; connect-src 'self'; "
    "base-uri 'none'; form-action 'self'; frame-ancestors 'none'";

size_t header_bytes(const httplib::Request& req) {
    size_t n = 0;
    for (const auto& [k, v] : req.headers) n += k.size() + v.size() + 4;
    return n;
}

// Without a login only loopback names may address the server: a web page
// elsewhere could otherwise point a name of its own at 127.0.0.1 (DNS
// rebinding) and read the site through the operator's browser.
bool loopback_host(const std::string& host) {
    std::string h = host;
    if (!h.empty() && h[0] == '[') {
        const size_t close = h.find(']');
        h = close == std::string::npos ? "" : h.substr(1, close - 1);
    } else if (const size_t colon = h.rfind(':'); colon != std::string::npos) {
        h = h.substr(0, colon);
    }
    return IsLoopback(h);
}

httplib::Server::HandlerResponse before(HttpShared& sh, const httplib::Request& req, httplib::Response& res) {
    ++sh.requests;
    if (ClientPool::Refusing()) {
        res.set_header("Retry-After", "5");
        Refuse(res, 503, fmt::format("more than {} clients at once", sh.config.max_clients));
        return httplib::Server::HandlerResponse::Handled;
    }
    if (req.method != "GET" && req.method != "HEAD") {
        res.set_header("Allow", "GET, HEAD");
        Refuse(res, 405, "read-only: GET and HEAD only");
        return httplib::Server::HandlerResponse::Handled;
    }
    if (req.target.size() > kMaxTarget) {
        Refuse(res, 414, "request target too long");
        return httplib::Server::HandlerResponse::Handled;
    }
    if (header_bytes(req) > kMaxHeaderBytes) {
        Refuse(res, 431, "request headers too large");
        return httplib::Server::HandlerResponse::Handled;
    }
    if (!sh.auth.Enabled() && !loopback_host(req.get_header_value("Host"))) {
        Refuse(res, 403, "this server answers to its loopback address only");
        return httplib::Server::HandlerResponse::Handled;
    }
    if (sh.auth.Enabled()) {
        if (!sh.auth.Check(req.get_header_value("Authorization"))) {
            sh.auth.Failed(req.remote_addr);
            sh.auth.Wait(req.remote_addr);
            res.set_header("WWW-Authenticate", "Basic realm=\"m520s\", charset=\"UTF-8\"");
            Refuse(res, 401, "login required");
            return httplib::Server::HandlerResponse::Handled;
        }
        sh.auth.Succeeded(req.remote_addr);
    }
    return httplib::Server::HandlerResponse::Unhandled;
}

void after(const httplib::Request&, httplib::Response& res) {
    res.set_header("Content-Security-Policy", kCsp);
    res.set_header("X-Content-Type-Options", "nosniff");
    res.set_header("Referrer-Policy", "no-referrer");
    res.set_header("X-Frame-Options", "DENY");
    if (!res.has_header("Cache-Control")) res.set_header("Cache-Control", "no-store");
}

void serve_file(const HttpShared& sh, const std::string& name, const char* cache, const httplib::Request& req,
                httplib::Response& res) {
    const StaticFile* f = sh.files.Find(name);
    if (!f) {
        Refuse(res, 404, name == "chart.min.js" ? "Chart.js missing: install libjs-chart.js" : "no such file");
        return;
    }
    res.set_header("Cache-Control", cache);
    res.set_header("ETag", f->etag);
    if (req.get_header_value("If-None-Match") == f->etag) {
        res.status = 304;
        return;
    }
    res.set_content(f->body, f->type.c_str());
}

void json(httplib::Response& res, const std::string& body) { res.set_content(body, "application/json"); }

void healthz(const HttpShared& sh, httplib::Response& res) {
    const auto s = sh.Site();
    std::string why;
    if (!s->link.known || !s->link.up)
        why = s->link.known ? "link down" : "no answer from the controller yet";
    else if (!s->link.last_cycle_wall)
        why = "no cycle completed yet";
    else {
        const auto age = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now() -
                                                                          *s->link.last_cycle_wall)
                             .count();
        if (age > kHealthySeconds) why = fmt::format("last cycle completed {} s ago", age);
    }
    res.status = why.empty() ? 200 : 503;
    res.set_content(why.empty() ? "ok\n" : why + "\n", "text/plain; charset=utf-8");
}

void events(HttpShared& sh, const httplib::Request& req, httplib::Response& res) {
    std::optional<uint64_t> last;
    const std::string id = req.get_header_value("Last-Event-ID");
    if (!id.empty() && id.size() < 20 && id.find_first_not_of("0123456789") == std::string::npos)
        last = std::stoull(id);
    auto cursor = std::make_shared<uint64_t>(sh.events.Subscribe(last));
    auto first = std::make_shared<bool>(true);
    res.set_header("Cache-Control", "no-store");
    res.set_header("X-Accel-Buffering", "no");
    res.set_chunked_content_provider(
        "text/event-stream",
        [&sh, cursor, first](size_t, httplib::DataSink& sink) {
            std::string out;
            if (*first) {
                *first = false;
                out = "retry: 3000\n: m520s events\n\n";
            } else if (!sh.events.Next(*cursor, out, kKeepAlive)) {
                sink.done();
                return true;
            }
            if (out.empty()) out = ": keep-alive\n\n";
            return sink.write(out.data(), out.size());
        },
        [&sh](bool) { sh.events.Unsubscribe(); });
}

void pages(httplib::Server& s, HttpShared& sh) {
    s.Get("/", [&sh](const httplib::Request&, httplib::Response& res) {
        res.set_header("Cache-Control", "no-cache");
        res.set_content(RenderSitePage(*sh.Site(), {sh.config.language}), "text/html; charset=utf-8");
    });
    for (const char* page : {"alarms", "history"}) {
        const StaticFile* f = sh.files.Find(std::string(page) + ".html");
        if (!f) continue;
        // What the pages show first follows the config's "language".
        auto local = std::make_shared<StaticFile>(*f);
        if (sh.config.language == "zh") {
            for (const char* from : {"<html lang=\"en\">", "data-language=\"en\""}) {
                std::string to = from;
                to.replace(to.find("en"), 2, "zh");
                if (const size_t at = local->body.find(from); at != std::string::npos)
                    local->body.replace(at, std::strlen(from), to);
            }
            local->etag.insert(local->etag.size() - 1, "-zh");
        }
        s.Get(std::string("/") + page, [local](const httplib::Request& req, httplib::Response& res) {
            res.set_header("Cache-Control", "no-cache");
            res.set_header("ETag", local->etag);
            if (req.get_header_value("If-None-Match") == local->etag)
                res.status = 304;
            else
                res.set_content(local->body, local->type.c_str());
        });
    }
    s.Get(R"(/static/([A-Za-z0-9_-][A-Za-z0-9._-]*))", [&sh](const httplib::Request& req, httplib::Response& res) {
        serve_file(sh, req.matches[1], "public, max-age=300", req, res);
    });
    s.Get("/vendor/chart.min.js", [&sh](const httplib::Request& req, httplib::Response& res) {
        serve_file(sh, "chart.min.js", "public, max-age=86400", req, res);
    });
}

void api(httplib::Server& s, HttpShared& sh) {
    s.Get("/api/state", [&sh](const httplib::Request&, httplib::Response& res) { json(res, *sh.StateJsonCached()); });
    s.Get("/api/fields", [&sh](const httplib::Request&, httplib::Response& res) { json(res, FieldsJson(*sh.Site())); });
    s.Get("/api/events", [&sh](const httplib::Request& req, httplib::Response& res) { events(sh, req, res); });
    s.Get("/metrics", [&sh](const httplib::Request&, httplib::Response& res) {
        res.set_content(MetricsText(*sh.Site(), sh.cycles.Get()), "text/plain; version=0.0.4; charset=utf-8");
    });
    s.Get("/healthz", [&sh](const httplib::Request&, httplib::Response& res) { healthz(sh, res); });
}

}  // namespace

void Refuse(httplib::Response& res, int status, const std::string& reason) {
    res.status = status;
    res.set_header("Cache-Control", "no-store");
    if (status != 503 && status != 401 && status != 404 && status != 400) res.set_header("Connection", "close");
    res.set_content(reason + "\n", "text/plain; charset=utf-8");
}

void InstallRoutes(httplib::Server& s, HttpShared& sh) {
    s.set_pre_routing_handler([&sh](const httplib::Request& req, httplib::Response& res) { return before(sh, req, res); });
    s.set_post_routing_handler(after);
    s.set_error_handler([](const httplib::Request&, httplib::Response& res) {
        if (res.body.empty()) res.set_content(res.status == 404 ? "no such page\n" : "refused\n", "text/plain; charset=utf-8");
    });
    pages(s, sh);
    api(s, sh);
}

}  // namespace monitor
