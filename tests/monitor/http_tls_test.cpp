// The dashboard behind TLS and a login, with this test's own CA: the right
// user gets in, no or wrong credentials get 401 and a growing delay that
// holds up nobody else, and an open listen address without TLS is refused.

#include <gtest/gtest.h>
#include <httplib.h>

#include <atomic>
#include <cstdio>
#include <thread>

#include <fmt/format.h>

#include "tests/monitor/e2e_support.h"
#include "tests/monitor/http_support.h"
#include "tests/monitor/test_support.h"
#include "tests/support/time_scale.h"

namespace monitor_test {
namespace {

std::string Shell(const std::string& cmd) {
    std::string out;
    FILE* p = ::popen((cmd + " 2>&1").c_str(), "r");
    if (!p) return out;
    char buf[512];
    while (size_t n = std::fread(buf, 1, sizeof buf, p)) out.append(buf, n);
    const int rc = ::pclose(p);
    return rc == 0 ? out : "failed: " + out;
}

// A CA and a certificate for 127.0.0.1 signed by it.
void MakeCertificates(TempDir& dir) {
    const std::string d = dir / "";
    const std::string key = "-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes";
    ASSERT_EQ(Shell(fmt::format("openssl req -x509 {} -keyout {}ca.key -out {}ca.pem -days 2 -subj /CN=m520s-test-ca",
                              key, d, d)).rfind("failed", 0), std::string::npos);
    ASSERT_EQ(Shell(fmt::format("openssl req {} -keyout {}server.key -out {}server.csr -subj /CN=127.0.0.1", key, d, d))
                  .rfind("failed", 0), std::string::npos);
    WriteFile(d + "ext", "subjectAltName=IP:127.0.0.1\n");
    const std::string signed_ = Shell(fmt::format(
        "openssl x509 -req -in {}server.csr -CA {}ca.pem -CAkey {}ca.key -CAcreateserial -out {}server.pem -days 2 "
        "-extfile {}ext", d, d, d, d, d));
    ASSERT_EQ(signed_.rfind("failed", 0), std::string::npos) << signed_;
}

std::string Config(TempDir& dir, const std::string& pty, const Json::Value& http) {
    Json::Value c(Json::objectValue);
    c["port"] = pty;
    c["db"] = dir / "tls.db";
    c["poll_ms"] = 100;
    c["device"] = ReferenceDevice();
    c["http"] = http;
    // Every cycle its own commit: these tests follow single cycles as they come.
    c["history"]["commit_s"] = 0;
    WriteFile(dir / "tls.json", Json::writeString(Json::StreamWriterBuilder(), c));
    return dir / "tls.json";
}

std::unique_ptr<httplib::SSLClient> Client(TempDir& dir, int port) {
    auto c = std::make_unique<httplib::SSLClient>("127.0.0.1", port);
    c->set_ca_cert_path((dir / "ca.pem").c_str());
    c->enable_server_certificate_verification(true);
    return c;
}

TEST(HttpTls, RightUserInWrongOrNoneOutAfterAGrowingDelay) {
    if (Shell("command -v openssl").rfind("failed", 0) == 0) GTEST_FAIL() << "openssl is not installed";
    TempDir dir;
    MakeCertificates(dir);
    // The hash the passwd subcommand prints is what the config takes.
    const std::string hash_line = Shell(fmt::format("printf 's3cret\\n' | {} passwd", M520S_MONITOR_PATH));
    ASSERT_EQ(hash_line.rfind("$y$", 0), 0u) << hash_line;
    const std::string hash = hash_line.substr(0, hash_line.find('\n'));
    EXPECT_EQ(Shell(fmt::format("printf '' | {} passwd", M520S_MONITOR_PATH)).rfind("failed", 0), 0u);

    Sim sim({});
    const int port = FreePort();
    Json::Value http(Json::objectValue);
    http["listen"] = fmt::format("127.0.0.1:{}", port);
    http["tls"]["cert_file"] = dir / "server.pem";
    http["tls"]["key_file"] = dir / "server.key";
    http["users"][0]["name"] = "ops";
    http["users"][0]["password_hash"] = hash;
    MonitorProcess mon(M520S_MONITOR_PATH, {"--config", Config(dir, sim.pty, http), "--json"});
    const Json::Value h = mon.WaitFor([](const Json::Value& e) { return e["event"] == "http"; });
    ASSERT_EQ(h["url"].asString(), fmt::format("https://127.0.0.1:{}/", port)) << mon.Stderr();

    auto c = Client(dir, port);
    auto none = c->Get("/api/state");
    ASSERT_TRUE(none) << httplib::to_string(none.error());
    EXPECT_EQ(none->status, 401);
    EXPECT_EQ(none->get_header_value("WWW-Authenticate"), "Basic realm=\"m520s\", charset=\"UTF-8\"");
    c->set_basic_auth("ops", "s3cret");
    auto right = c->Get("/api/state");
    ASSERT_TRUE(right);
    EXPECT_EQ(right->status, 200);
    EXPECT_TRUE(ParseJson(right->body).isMember("units"));
    EXPECT_EQ(c->Get("/metrics")->status, 200);

    // Plain HTTP to the TLS port gets no answer.
    httplib::Client plain("127.0.0.1", port);
    auto p = plain.Get("/api/state");
    EXPECT_TRUE(!p || p->status != 200);

    // Wrong passwords: three free, then each answer waits longer.
    auto wrong = Client(dir, port);
    wrong->set_basic_auth("ops", "guess");
    wrong->set_read_timeout(30, 0);  // the delays pass the default 5 s
    std::vector<double> waits;
    for (int i = 0; i < 7; ++i) {
        const auto t0 = std::chrono::steady_clock::now();
        EXPECT_EQ(wrong->Get("/api/state")->status, 401);
        waits.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
    }
    EXPECT_GE(waits[3], 0.45);
    EXPECT_GE(waits[4], 0.95);
    EXPECT_GE(waits[6], 3.95);
    // While a delayed failure waits (8 s now), the right user is served. The
    // right user's success forgets the address's failures, so it goes only
    // once the failure is surely waiting, however slow the handshake.
    std::atomic<bool> wrong_done{false}, right_done_first{false};
    std::thread slow([&] {
        auto w = Client(dir, port);
        w->set_basic_auth("ops", "guess again");
        w->set_read_timeout(30, 0);
        EXPECT_EQ(w->Get("/healthz")->status, 401);
        wrong_done = true;
    });
    std::this_thread::sleep_for(Scaled(std::chrono::milliseconds(400)));
    auto again = Client(dir, port);
    again->set_basic_auth("ops", "s3cret");
    EXPECT_EQ(again->Get("/healthz")->status, 200);
    right_done_first = !wrong_done;
    slow.join();
    EXPECT_TRUE(right_done_first);

    mon.Signal(SIGTERM);
    EXPECT_EQ(mon.Wait(), 0) << mon.Stderr();
}

TEST(HttpTls, AnOpenAddressWithoutTlsAndUsersIsAConfigError) {
    TempDir dir;
    Json::Value http(Json::objectValue);
    http["listen"] = "0.0.0.0:8080";
    MonitorProcess mon(M520S_MONITOR_PATH, {"--config", Config(dir, "/dev/null", http), "--json"});
    EXPECT_EQ(mon.Wait(), 2);
    const std::string err = mon.Stderr();
    EXPECT_EQ(err, "m520s-monitor: " + (dir / "tls.json") +
                       ": http.listen: expected a loopback address, or \"tls\" and \"users\" beside it, found "
                       "\"0.0.0.0\" without \"tls\" and \"users\"\n");
}

}  // namespace
}  // namespace monitor_test
