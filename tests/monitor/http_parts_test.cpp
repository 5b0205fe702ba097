// The HTTP server's parts on their own: its config section, the login, the
// metrics text, the event stream and the escaping of the site page.

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <sstream>

#include "monitor/config.h"
#include "monitor/models/catalogue.h"
#include "monitor/sinks/http_auth.h"
#include "monitor/sinks/http_config.h"
#include "monitor/sinks/http_events.h"
#include "monitor/sinks/http_render.h"
#include "monitor/sinks/metrics.h"
#include "monitor/sinks/site_page.h"
#include "tests/monitor/http_support.h"

namespace {

using monitor::HttpConfig;
using namespace monitor_test;

const std::string kDevice = R"("device": {"rcSetting": {}})";
// A yescrypt hash of "secret" made with libcrypt once; the config checker must take it.
const std::string kHash = monitor::HashPassword("secret");

HttpConfig parse(const std::string& http) {
    const auto cfg = monitor::ParseConfig("site.json", "{\"port\": \"/dev/null\", " + kDevice + ", \"http\": " + http + "}", {});
    return std::any_cast<HttpConfig>(cfg.sections.at("http"));
}

std::string refusal(const std::string& http) {
    try {
        parse(http);
    } catch (const monitor::ConfigError& e) {
        return e.what();
    }
    return "accepted";
}

TEST(HttpConfig, ListenTlsUsersAndLimitsCheckedWithTheRest) {
    const HttpConfig d = parse("{}");
    EXPECT_EQ(d.host, "127.0.0.1");
    EXPECT_EQ(d.port, 8080);
    EXPECT_EQ(d.max_clients, 16);
    EXPECT_FALSE(d.tls);
    const HttpConfig v6 = parse(R"({"listen": "[::1]:9443", "max_clients": 3})");
    EXPECT_EQ(v6.host, "::1");
    EXPECT_EQ(v6.port, 9443);
    EXPECT_EQ(v6.max_clients, 3);
    EXPECT_EQ(monitor::HttpUrl(v6, 9443), "http://[::1]:9443/");
    const HttpConfig u = parse(R"({"listen": "127.0.0.2:8081", "users": [{"name": "ops", "password_hash": ")" + kHash + "\"}]}");
    ASSERT_EQ(u.users.size(), 1u);
    EXPECT_EQ(u.users[0].name, "ops");

    // A site's values on an open network only behind TLS and a login.
    EXPECT_EQ(refusal(R"({"listen": "0.0.0.0:8080"})"),
              "site.json: http.listen: expected a loopback address, or \"tls\" and \"users\" beside it, found "
              "\"0.0.0.0\" without \"tls\" and \"users\"");
    EXPECT_NE(refusal(R"({"listen": "192.0.2.7:8080", "users": [{"name": "a", "password_hash": ")" + kHash + "\"}]}")
                  .find("without \"tls\""),
              std::string::npos);
    EXPECT_NE(refusal(R"({"listen": "192.0.2.7:8080", "tls": {"cert_file": "/etc/hostname", "key_file": "/etc/hostname"}})")
                  .find("without \"users\""),
              std::string::npos);
    const std::map<std::string, std::string> wrong = {
        {R"({"listen": "127.0.0.1"})", "http.listen: expected an address and port"},
        {R"({"listen": "127.0.0.1:0"})", "http.listen: expected an address and port"},
        {R"({"listen": "127.0.0.1:65536"})", "http.listen: expected"},
        {R"({"listen": "example.org:80"})", "http.listen: expected"},
        {R"({"listen": "[::1:80"})", "http.listen: expected"},
        {R"({"max_clients": 0})", "http.max_clients: expected an integer from 1 to 1024, found 0"},
        {R"({"lsiten": "127.0.0.1:1"})", "http.lsiten: expected one of listen, tls, users, max_clients"},
        {R"({"users": [{"name": "a", "password_hash": "plain"}]})", "http.users[0].password_hash: expected a yescrypt"},
        {R"({"users": [{"name": "a", "password_hash": "abJnggxhB/yWI"}]})", "password_hash: expected a yescrypt"},
        {R"({"users": [{"name": "a:b", "password_hash": ")" + kHash + "\"}]}", "http.users[0].name: expected a user name without ':'"},
        {R"({"users": [{"name": "a", "password_hash": ")" + kHash + R"("}, {"name": "a", "password_hash": ")" + kHash + "\"}]}",
         "http.users[1].name: expected a name no other user has"},
        {R"({"tls": {"cert_file": "/nonexistent.pem", "key_file": "/etc/hostname"}})", "http.tls.cert_file: expected"},
    };
    for (const auto& [http, message] : wrong) {
        const std::string got = refusal(http);
        EXPECT_NE(got.find(message), std::string::npos) << http << " -> " << got;
        EXPECT_EQ(got.find('\n'), std::string::npos) << got;
    }
}

TEST(HttpAuth, CryptHashesBasicCredentialsAndAGrowingDelay) {
    EXPECT_EQ(kHash.rfind("$y$", 0), 0u);
    EXPECT_TRUE(monitor::AcceptedHash(kHash));
    EXPECT_NE(monitor::HashPassword("secret"), kHash);  // a fresh salt each time
    EXPECT_TRUE(monitor::CheckPassword("secret", kHash));
    EXPECT_FALSE(monitor::CheckPassword("Secret", kHash));
    EXPECT_FALSE(monitor::CheckPassword("secret", "$6$broken"));
    EXPECT_FALSE(monitor::AcceptedHash("$1$abcdefgh$1234567890123456789012"));  // MD5-crypt: too weak

    const auto c = monitor::ParseBasic("Basic b3BzOnNlY3JldDp3aXRoOmNvbG9ucw==");  // ops:secret:with:colons
    ASSERT_TRUE(c);
    EXPECT_EQ(c->user, "ops");
    EXPECT_EQ(c->password, "secret:with:colons");
    for (const char* bad : {"", "Basic", "Bearer b3BzOnNlY3JldA==", "Basic !!!!", "Basic OnNlY3JldA=="})
        EXPECT_FALSE(monitor::ParseBasic(bad)) << bad;

    monitor::HttpAuth auth({{"ops", kHash}});
    EXPECT_TRUE(auth.Check("Basic b3BzOnNlY3JldA=="));   // ops:secret
    EXPECT_TRUE(auth.Check("basic b3BzOnNlY3JldA=="));   // remembered, and the scheme is case-blind
    EXPECT_FALSE(auth.Check("Basic b3BzOnNlY3JldDE="));  // ops:secret1
    EXPECT_FALSE(auth.Check("Basic eDpzZWNyZXQ="));      // x:secret, no such user
    EXPECT_FALSE(auth.Check(""));

    // A few free tries, then each failure doubles the wait; one address's
    // failures leave another's answers alone; success forgets them.
    std::vector<int64_t> waits;
    for (int i = 0; i < 7; ++i) {
        auth.Failed("10.0.0.1");
        waits.push_back(auth.Delay("10.0.0.1").count());
    }
    EXPECT_EQ(waits, (std::vector<int64_t>{0, 0, 0, 500, 1000, 2000, 4000}));
    for (int i = 0; i < 10; ++i) auth.Failed("10.0.0.1");
    EXPECT_EQ(auth.Delay("10.0.0.1").count(), 8000);
    EXPECT_EQ(auth.Delay("10.0.0.2").count(), 0);
    EXPECT_EQ(auth.Failures(), 17u);
    auth.Succeeded("10.0.0.1");
    EXPECT_EQ(auth.Delay("10.0.0.1").count(), 0);
    // A stopping server does not sit out a delay.
    for (int i = 0; i < 10; ++i) auth.Failed("10.0.0.3");
    auth.Stop();
    const auto t0 = std::chrono::steady_clock::now();
    auth.Wait("10.0.0.3");
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(8));
}

// The metrics text read back: families, their samples, labels unescaped.
struct Exposition {
    std::map<std::string, std::string> types;
    std::map<std::string, std::string> samples;  // whole sample line before the value -> value
    std::vector<std::string> order;              // family of each sample, in order
};

Exposition read_metrics(const std::string& text) {
    Exposition e;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("# TYPE ", 0) == 0) {
            const auto sp = line.find(' ', 7);
            e.types[line.substr(7, sp - 7)] = line.substr(sp + 1);
        } else if (!line.empty() && line[0] != '#') {
            const auto sp = line.rfind(' ');
            e.samples[line.substr(0, sp)] = line.substr(sp + 1);
            e.order.push_back(line.substr(0, line.find_first_of("{ ")));
        }
    }
    return e;
}

TEST(Metrics, GaugesFromTheCatalogueAlarmsLinkAndCycles) {
    const auto site = SmallSite(53.25f);
    monitor::CycleHistogram h;
    h.Add(0.4);
    h.Add(2.5);
    const Exposition e = read_metrics(monitor::MetricsText(*site, h.Get()));
    EXPECT_EQ(e.samples.at(R"(m520s_dc_voltage_volts{device="21",field="21.v"})"), "53.25");
    EXPECT_EQ(e.types.at("m520s_dc_voltage_volts"), "gauge");
    EXPECT_EQ(e.samples.at(R"(m520s_dc_current_amperes{device="21",field="21.i"})"), "0");
    EXPECT_EQ(e.samples.count(R"(m520s_dc_voltage_volts{device="22",field="22.v"})"), 0u);  // no data, no sample
    EXPECT_EQ(e.samples.at("m520s_link_up"), "1");
    EXPECT_EQ(e.samples.at("m520s_cycles_total"), "3");
    EXPECT_EQ(e.types.at("m520s_cycles_total"), "counter");
    EXPECT_EQ(e.samples.at(R"(m520s_frames_rejected_total{reason="bad_chksum"})"), "0");
    EXPECT_EQ(e.samples.count(R"(m520s_frames_rejected_total{reason="answers"})"), 0u);
    EXPECT_EQ(e.types.at("m520s_cycle_duration_seconds"), "histogram");
    EXPECT_EQ(e.samples.at(R"(m520s_cycle_duration_seconds_bucket{le="0.5"})"), "1");
    EXPECT_EQ(e.samples.at(R"(m520s_cycle_duration_seconds_bucket{le="3"})"), "2");
    EXPECT_EQ(e.samples.at(R"(m520s_cycle_duration_seconds_bucket{le="+Inf"})"), "2");
    EXPECT_EQ(e.samples.at("m520s_cycle_duration_seconds_sum"), "2.9");
    // The controller's texts as label values: quotes, backslashes and line feeds escaped, UTF-8 kept.
    EXPECT_EQ(e.samples.at(R"(m520s_alarm_active{device="21",key="DC_0",detail="电压\"过低\" \\ <script>x</script>\nnext",level="2"})"),
              "1");
    // Every family's samples together, as the format demands.
    std::set<std::string> closed;
    std::string current;
    for (const auto& f : e.order) {
        const std::string fam = f.rfind("m520s_cycle_duration_seconds", 0) == 0 ? "m520s_cycle_duration_seconds" : f;
        if (fam != current) {
            EXPECT_FALSE(closed.count(fam)) << fam << " split";
            closed.insert(current);
            current = fam;
        }
    }
    // Names from the catalogue's units.
    const auto& m = monitor::model::M520S();
    const auto* ac = m.Unit("m520s-ac");
    EXPECT_EQ(monitor::FieldMetric(*ac, *ac->items->Find("a")).name, "m520s_ac_voltage_volts");
    EXPECT_EQ(monitor::FieldMetric(*ac, *ac->items->Find("f")).name, "m520s_ac_frequency_hertz");
    EXPECT_EQ(monitor::FieldMetric(*ac, *ac->head.Find("ia_alert")).name, "m520s_ac_state");
    EXPECT_EQ(monitor::FieldMetric(*ac, *ac->head.Find("data_id")).name, "");
    const auto* rc = m.Unit("m520s-rc");
    EXPECT_EQ(monitor::FieldMetric(*rc, *rc->items->Find("module_value")).name, "m520s_rectifier_value");
    EXPECT_EQ(monitor::FieldMetric(*rc, *rc->head.Find("module_count")).name, "m520s_rectifier_entries");
}

TEST(EventStream, ReadersTakeFramesInOrderAndASlowOneSkipsAhead) {
    monitor::EventStream s(4);
    s.Push({"t0", monitor::LinkEvent{true, {}}});  // nobody listens: nothing kept
    uint64_t cursor = s.Subscribe(std::nullopt);
    EXPECT_EQ(cursor, 1u);
    for (int i = 0; i < 6; ++i) s.Push({"t", monitor::StorageEvent{i % 2 == 0, "disk", 1, 0}});
    s.Push({"t", monitor::LogEvent{"not streamed"}});
    std::string out;
    ASSERT_TRUE(s.Next(cursor, out, std::chrono::milliseconds(0)));
    // The ring kept the last 4 of 6: ids 3 to 6, the first two counted as dropped.
    EXPECT_EQ(out.find("id: 1\n"), std::string::npos);
    EXPECT_EQ(out.rfind("id: 3\nevent: storage\ndata: {\"dropped\":0,", 0), 0u) << out;
    EXPECT_NE(out.find("id: 6\n"), std::string::npos);
    EXPECT_EQ(out.find("not streamed"), std::string::npos);
    EXPECT_EQ(s.Dropped(), 2u);
    EXPECT_EQ(cursor, 7u);
    // A reconnecting reader resumes after the last id it saw.
    EXPECT_EQ(s.Subscribe(5), 6u);
    std::string none;
    EXPECT_TRUE(s.Next(cursor, none, std::chrono::milliseconds(1)));
    EXPECT_TRUE(none.empty());
    s.Stop();
    EXPECT_FALSE(s.Next(cursor, none, std::chrono::milliseconds(1000)));
}

TEST(SitePage, TextsOfTheSiteAreEscapedAndValuesCarryTheirPaths) {
    const auto site = SmallSite(53.25f);
    const std::string page = monitor::RenderSitePage(*site, {});
    EXPECT_EQ(page.find("<script>x"), std::string::npos);
    EXPECT_EQ(page.find("<b>"), std::string::npos);
    EXPECT_NE(page.find("M520S &lt;b&gt;"), std::string::npos);
    EXPECT_NE(page.find("DC panel 21: &lt;output&gt; voltage too low"), std::string::npos);
    EXPECT_NE(page.find("data-v=\"v\" title=\"21.v\" data-p=\"2\">53.25</td>"), std::string::npos);
    EXPECT_NE(page.find("output voltage"), std::string::npos);  // the catalogue's label
    EXPECT_NE(page.find("id=\"unit-22\""), std::string::npos);
    EXPECT_NE(page.find("no data"), std::string::npos);
    // Only scripts of our own; the state texts are a data block.
    EXPECT_NE(page.find("<script type=\"application/json\" id=\"state-texts\">"), std::string::npos);
    EXPECT_EQ(page.find("onclick"), std::string::npos);
    EXPECT_EQ(monitor::HtmlEscape("<a href='x'>&\"</a>"), "&lt;a href=&#39;x&#39;&gt;&amp;&quot;&lt;/a&gt;");

    const std::string zh = monitor::RenderSitePage(*site, {"zh"});
    EXPECT_NE(zh.find("直流屏21"), std::string::npos);
    EXPECT_NE(zh.find("输出电压"), std::string::npos);
}

TEST(HttpApi, StateAndFieldsHaveTheShapesToolsRelyOn) {
    const auto site = SmallSite(53.25f);
    Json::Value state, fields;
    std::istringstream(monitor::StateJson(*site)) >> state;
    std::istringstream(monitor::FieldsJson(*site)) >> fields;
    EXPECT_EQ(state.getMemberNames(), (std::vector<std::string>{"alarms", "cycle", "link", "model", "time", "units"}));
    EXPECT_EQ(state["cycle"]["n"].asUInt(), 3u);
    EXPECT_EQ(state["cycle"]["duration_ms"].asInt(), 1234);
    EXPECT_EQ(state["link"]["state"], "up");
    EXPECT_EQ(state["link"]["counters"]["answers"].asUInt(), 0u);
    ASSERT_EQ(state["units"].size(), 2u);
    EXPECT_EQ(state["units"][0]["values"]["v"].asFloat(), 53.25f);
    EXPECT_TRUE(state["units"][0]["fresh"].asBool());
    EXPECT_TRUE(state["units"][1]["values"].isNull());
    EXPECT_EQ(state["alarms"][0]["detail"].asString(), site->alarms->at(0).detail);
    EXPECT_FALSE(state["alarms"][0].isMember("action"));
    ASSERT_GT(fields.size(), 2u);
    std::set<std::string> paths;
    for (const auto& f : fields) {
        EXPECT_EQ(f.getMemberNames(),
                  (std::vector<std::string>{"device", "device_type", "field", "kind", "label", "precision", "unit"}));
        paths.insert(f["field"].asString());
    }
    EXPECT_TRUE(paths.count("21.v"));
    EXPECT_TRUE(paths.count("21.dc_m_value[0]"));
    EXPECT_FALSE(paths.count("21.dc_m_value[1]"));  // the controller filled one
    EXPECT_TRUE(paths.count("22.v"));               // no data yet: the catalogue's fields still
}

}  // namespace
