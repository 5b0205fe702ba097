// The HTTP server inside the real m520s-monitor, polling m520s-sim: pages,
// API, metrics and events while cycles go on, the limits a hostile or slow
// client meets, TLS with a login, and the demo's URL.

#include <gtest/gtest.h>
#include <httplib.h>
#include <poll.h>

#include <atomic>
#include <thread>

#include <fmt/format.h>

#include "tests/monitor/e2e_support.h"
#include "tests/monitor/http_support.h"
#include "tests/monitor/test_support.h"
#include "tests/support/time_scale.h"

namespace monitor_test {
namespace {

std::string HttpConfigFile(TempDir& dir, const std::string& pty, const Json::Value& http, const std::string& language) {
    Json::Value c(Json::objectValue);
    c["language"] = language;
    c["port"] = pty;
    c["db"] = dir / "site.db";
    c["poll_ms"] = 100;
    c["device"] = ReferenceDevice();
    c["http"] = http;
    // Every cycle its own commit: these tests follow single cycles as they come.
    c["history"]["commit_s"] = 0;
    WriteFile(dir / "site.json", Json::writeString(Json::StreamWriterBuilder(), c));
    return dir / "site.json";
}

bool IsCycle(const Json::Value& e) { return e["event"] == "cycle"; }

// Sends raw bytes and reads what comes back until the peer closes, nothing
// arrives for `quiet`, or what came holds `enough`.
std::string Exchange(int port, const std::string& bytes, std::chrono::milliseconds quiet, const std::string& enough = "") {
    const int s = Dial(port);
    if (s < 0) return "";
    ::send(s, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    std::string got;
    char buf[4096];
    pollfd p{s, POLLIN, 0};
    while (::poll(&p, 1, static_cast<int>(quiet.count())) > 0) {
        const ssize_t n = ::recv(s, buf, sizeof buf, 0);
        if (n <= 0) break;
        got.append(buf, static_cast<size_t>(n));
        if (!enough.empty() && got.find(enough) != std::string::npos) break;
    }
    ::close(s);
    return got;
}

struct Running {
    TempDir dir;
    std::unique_ptr<Sim> sim;
    std::unique_ptr<MonitorProcess> mon;
    int port = FreePort();
    explicit Running(Json::Value http = Json::Value(Json::objectValue), const std::string& language = "en") {
        sim = std::make_unique<Sim>(std::vector<std::string>{});
        http["listen"] = fmt::format("127.0.0.1:{}", port);
        mon = std::make_unique<MonitorProcess>(M520S_MONITOR_PATH,
                                               std::vector<std::string>{"--config", HttpConfigFile(dir, sim->pty, http, language), "--json"});
    }
};

TEST(HttpServer, PagesApiMetricsAndEventsWhileCyclesGoOn) {
    Running r;
    const Json::Value h = r.mon->WaitFor([](const Json::Value& e) { return e["event"] == "http"; });
    ASSERT_FALSE(h.isNull()) << r.mon->Stderr();
    EXPECT_EQ(h["url"].asString(), fmt::format("http://127.0.0.1:{}/", r.port));
    ASSERT_FALSE(r.mon->WaitFor(IsCycle).isNull()) << r.mon->Stderr();

    httplib::Client c("127.0.0.1", r.port);
    auto page = c.Get("/");
    ASSERT_TRUE(page);
    EXPECT_EQ(page->status, 200);
    EXPECT_NE(page->body.find("Rectifiers 1"), std::string::npos);
    EXPECT_NE(page->body.find("data-v=\"channels.0.a\""), std::string::npos);
    const std::string csp = page->get_header_value("Content-Security-Policy");
    EXPECT_NE(csp.find("script-src 'self'"), std::string::npos);
    EXPECT_EQ(csp.find("unsafe-inline"), std::string::npos);

    auto state = c.Get("/api/state");
    ASSERT_TRUE(state);
    EXPECT_EQ(state->get_header_value("Content-Type"), "application/json");
    Json::Value s = ParseJson(state->body);
    EXPECT_EQ(s["units"].size(), 5u);
    EXPECT_EQ(s["link"]["state"], "up");
    EXPECT_GE(s["cycle"]["n"].asUInt(), 1u);

    auto metrics = c.Get("/metrics");
    ASSERT_TRUE(metrics);
    EXPECT_NE(metrics->body.find("m520s_ac_voltage_volts{device=\"11\",field=\"11.channels[0].a\"} 2"), std::string::npos);
    EXPECT_NE(metrics->body.find("m520s_link_up 1"), std::string::npos);
    auto health = c.Get("/healthz");
    ASSERT_TRUE(health);
    EXPECT_EQ(health->status, 200);
    EXPECT_EQ(health->body, "ok\n");

    // Read-only, bounded, and nothing outside the dashboard's own files.
    EXPECT_EQ(c.Post("/api/state", "x=1", "text/plain")->status, 405);
    EXPECT_EQ(c.Delete("/")->status, 405);
    EXPECT_EQ(c.Post("/api/state", "x=1", "text/plain")->get_header_value("Allow"), "GET, HEAD");
    EXPECT_EQ(c.Get("/static/../CMakeLists.txt")->status, 404);
    EXPECT_EQ(c.Get("/nothing")->status, 404);
    EXPECT_EQ(c.Get("/" + std::string(3000, 'a'))->status, 414);
    // Only loopback names, so a page elsewhere cannot rebind its own name to this server.
    EXPECT_EQ(c.Get("/api/state", {{"Host", "evil.example:8080"}})->status, 403);
    EXPECT_EQ(c.Get("/api/state", {{"Host", "localhost"}})->status, 200);
    auto css = c.Get("/static/style.css");
    ASSERT_TRUE(css);
    EXPECT_EQ(css->status, 200);
    EXPECT_NE(css->get_header_value("Cache-Control").find("max-age"), std::string::npos);
    EXPECT_EQ(c.Get("/static/style.css", {{"If-None-Match", css->get_header_value("ETag")}})->status, 304);

    // Events as they happen: the next cycle's line.
    const std::string sse = Exchange(r.port, "GET /api/events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n",
                                     Scaled(std::chrono::seconds(5)), "\"event\":\"cycle\"");
    EXPECT_NE(sse.find("Content-Type: text/event-stream"), std::string::npos);
    EXPECT_NE(sse.find("event: cycle\ndata: {\"duration_ms\":"), std::string::npos) << sse;

    // A second monitor on the same address cannot listen: exit 3, saying why.
    MonitorProcess second(M520S_MONITOR_PATH, {"--config", r.dir / "site.json", "--json", "--db", r.dir / "second.db"});
    EXPECT_EQ(second.Wait(), 3);
    EXPECT_NE(second.Stderr().find(fmt::format("http: cannot listen on 127.0.0.1:{}: Address already in use", r.port)),
              std::string::npos)
        << second.Stderr();

    r.mon->Signal(SIGTERM);
    EXPECT_EQ(r.mon->Wait(), 0) << r.mon->Stderr();
}

TEST(HttpServer, ClientsBeyondTheLimitAndStalledReadersNeverStopPolling) {
    Json::Value http(Json::objectValue);
    http["max_clients"] = 3;
    Running r(http, "zh");
    ASSERT_FALSE(r.mon->WaitFor(IsCycle).isNull()) << r.mon->Stderr();
    {
        // "zh": the controller's own names first, on every page.
        httplib::Client c("127.0.0.1", r.port);
        EXPECT_NE(c.Get("/")->body.find("直流屏21"), std::string::npos);
        EXPECT_NE(c.Get("/alarms")->body.find("data-language=\"zh\""), std::string::npos);
        EXPECT_NE(c.Get("/history")->body.find("<html lang=\"zh\">"), std::string::npos);
    }

    // A reader that never reads: its events pile up in its socket, never in the program.
    const int stalled = Dial(r.port);
    ASSERT_GE(stalled, 0);
    int small = 4096;
    ::setsockopt(stalled, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    const std::string get = "GET /api/events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    ::send(stalled, get.data(), get.size(), MSG_NOSIGNAL);
    // Clients that never finish their request hold the other threads; one
    // more while a probe still finds a thread free (one that just finished
    // may not be back yet). Then the next client is refused: 503. A hold
    // that itself landed beyond the limit keeps the refusal waiting for
    // the read time-out (5 s).
    std::vector<int> hold;
    std::string refused;
    for (int i = 0; i < 6 && refused.find("HTTP/1.1 503") == std::string::npos; ++i) {
        hold.push_back(Dial(r.port));
        ::send(hold.back(), "GET / HTTP/1.1\r\n", 16, MSG_NOSIGNAL);
        if (i == 0) continue;
        refused = Exchange(r.port, "GET /api/state HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n",
                           Scaled(std::chrono::seconds(8)), "at once\n");
    }
    EXPECT_NE(refused.find("HTTP/1.1 503"), std::string::npos) << refused;
    EXPECT_NE(refused.find("more than 3 clients"), std::string::npos);

    // Cycles go on meanwhile.
    const Json::Value before = r.mon->WaitFor(IsCycle);
    ASSERT_FALSE(before.isNull()) << r.mon->Stderr();
    const Json::Value later = r.mon->WaitFor([&](const Json::Value& e) {
        return IsCycle(e) && e["n"].asUInt() >= before["n"].asUInt() + 5;
    });
    EXPECT_FALSE(later.isNull()) << r.mon->Stderr();
    for (int s : hold) ::close(s);

    // The threads come back once their clients are gone or timed out.
    bool served = false;
    for (int i = 0; i < 100 && !served; ++i) {
        served = Exchange(r.port, "GET /healthz HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n",
                          Scaled(std::chrono::seconds(2)))
                     .find("200 OK") != std::string::npos;
        if (!served) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_TRUE(served);
    // A stop is not held up by the reader that never reads.
    r.mon->Signal(SIGTERM);
    EXPECT_EQ(r.mon->Wait(), 0) << r.mon->Stderr();
    ::close(stalled);
}

TEST(HttpServer, DemoListensOnLoopbackAndSaysWhere) {
    TempDir dir;
    setenv("M520S_SIM", M520S_SIM_PATH, 1);
    MonitorProcess demo(M520S_MONITOR_PATH, {"--json", "--cycles", "2", "--db", dir / "demo.db"});
    const Json::Value h = demo.WaitFor([](const Json::Value& e) { return e["event"] == "http"; });
    ASSERT_FALSE(h.isNull()) << demo.Stderr();
    const std::string url = h["url"].asString();
    ASSERT_EQ(url.rfind("http://127.0.0.1:80", 0), 0u) << url;
    const int port = std::stoi(url.substr(17));
    EXPECT_GE(port, 8080);
    EXPECT_LE(port, 8099);
    EXPECT_EQ(demo.Wait(), 0) << demo.Stderr();
    demo.Rest();
    size_t http_events = 0;
    for (const auto& l : demo.lines) http_events += l.find("\"event\":\"http\"") != std::string::npos;
    EXPECT_EQ(http_events, 1u);
}

}  // namespace
}  // namespace monitor_test
