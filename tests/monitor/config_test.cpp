// Every malformed config is refused before anything is opened: one line on
// standard error naming the file, the key path, what was expected and what
// was found, exit 2. The same config with the fault removed is accepted.

#include <unistd.h>

#include <cctype>
#include <functional>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "monitor/config.h"
#include "monitor/sinks/mqtt_config.h"
#include "tests/monitor/monitor_process.h"
#include "tests/monitor/test_support.h"

namespace monitor_test {
namespace {

struct Case {
    const char* config;  // JSON text; PORT stands for a port that exists
    const char* message;  // after "site.json: "
};

// A valid base the cases differ from by one fault each.
const char* const kGood =
    R"({"port": "PORT", "db": "DB", "device": {"acSetting": [{"data_id": 11}], "dcSetting": [{"data_id": 21,
        "appSetting": {"diff_v": "0.5", "diff_i": 3}}], "rcSetting": {}, "timeout_ms": 500, "stall_ms": 2500}})";

const Case kCases[] = {
    {R"({"port": "PORT", "device": {"acSetting": [{"data_id": 11}, {"data_id": "x"}], "rcSetting": {}}})",
     R"(device.acSetting[1].data_id: expected an unsigned integer, found "x")"},
    {R"({"port": "PORT", "device": {"acSetting": [{"data_id": -3}], "rcSetting": {}}})",
     "device.acSetting[0].data_id: expected an unsigned integer, found -3"},
    {R"({"port": "PORT", "device": {"acSetting": [{"data_id": 1.5}], "rcSetting": {}}})",
     "device.acSetting[0].data_id: expected an unsigned integer, found 1.5"},
    {R"({"port": "PORT", "device": {"dcSetting": [{}], "rcSetting": {}}})",
     "device.dcSetting[0].data_id: expected an unsigned integer, found nothing"},
    {R"({"port": "PORT", "device": {"dcSetting": [7], "rcSetting": {}}})",
     "device.dcSetting[0]: expected an object, found 7"},
    {R"({"port": "PORT", "device": {"acSetting": {"data_id": 11}, "rcSetting": {}}})",
     "device.acSetting: expected an array of objects, found an object"},
    {R"({"port": "PORT", "device": {"acSetting": [{"data_id": 11}], "dcSetting": [{"data_id": 11}], "rcSetting": {}}})",
     "device.dcSetting[0].data_id: expected an id no other device has, found 11 (also device.acSetting[0].data_id)"},
    {R"({"port": "PORT", "device": {"acSetting": [{"data_id": 1}], "rcSetting": {}}})",
     "device.acSetting[0].data_id: expected an id no other device has, found 1 (also device.data_id)"},
    {R"({"port": "PORT", "device": {"acSetting": [{"data_id": 11, "appSetting": {"diff_v": true}}], "rcSetting": {}}})",
     "device.acSetting[0].appSetting.diff_v: expected a number or a text holding a number, found true"},
    {R"({"port": "PORT", "device": {"dcSetting": [{"data_id": 21, "appSetting": {"diff_i": "abc"}}], "rcSetting": {}}})",
     R"(device.dcSetting[0].appSetting.diff_i: expected a number or a text holding a number, found "abc")"},
    {R"({"port": "PORT", "device": {"dcSetting": [{"data_id": 21, "appSetting": [1]}], "rcSetting": {}}})",
     "device.dcSetting[0].appSetting: expected an object, found an array"},
    {R"({"port": "PORT", "device": {"dcSetting": [{"data_id": 21, "appSetting": {"diff_x": 1}}], "rcSetting": {}}})",
     R"(device.dcSetting[0].appSetting.diff_x: expected one of diff_v, diff_i, found unknown key "diff_x")"},
    {R"({"port": "PORT", "devcie": {}})",
     R"(devcie: expected one of port, plugin, db, poll_ms, device, model, language, site, log_level, history, mqtt, http, found unknown key "devcie")"},
    {R"({"port": "PORT", "device": {"rcSetting": {}, "adress": 2}})",
     R"(device.adress: expected one of data_id, acSetting, dcSetting, rcSetting, address, timeout_ms, retries, stall_ms, frame_gap_ms, found unknown key "adress")"},
    {R"({"port": "PORT", "device": {"rcSetting": {"x": 1}}})",
     R"(device.rcSetting.x: expected no keys here, found unknown key "x")"},
    {R"({"device": {"rcSetting": {}}})", "port: expected a text (or --port), found nothing"},
    {R"({"port": 5, "device": {"rcSetting": {}}})", "port: expected a non-empty text, found 5"},
    {R"({"port": "PORT"})", "device: expected an object, found nothing"},
    {R"({"port": "PORT", "device": []})", "device: expected an object, found an array"},
    {R"({"port": "PORT", "device": {}})", "device.rcSetting: expected an object, found nothing"},
    {R"({"port": "PORT", "device": {"rcSetting": null}})", "device.rcSetting: expected an object, found null"},
    {R"({"port": "PORT", "device": {"rcSetting": {}, "address": 256}})",
     "device.address: expected an integer from 0 to 255, found 256"},
    {R"({"port": "PORT", "device": {"rcSetting": {}, "timeout_ms": 0}})",
     "device.timeout_ms: expected an integer from 1 to 600000, found 0"},
    {R"({"port": "PORT", "device": {"rcSetting": {}, "retries": -1}})",
     "device.retries: expected an integer from 0 to 100, found -1"},
    {R"({"port": "PORT", "device": {"rcSetting": {}, "timeout_ms": 1000, "stall_ms": 2999}})",
     "device.stall_ms: expected an integer from 3000 (2000 + timeout_ms) to 3600000, found 2999"},
    {R"({"port": "PORT", "device": {"rcSetting": {}, "stall_ms": "4000"}})",
     R"(device.stall_ms: expected an integer from 3500 (2000 + timeout_ms) to 3600000, found "4000")"},
    {R"({"port": "PORT", "device": {"rcSetting": {}, "frame_gap_ms": 0}})",
     "device.frame_gap_ms: expected an integer from 1 to 600000, found 0"},
    {R"({"port": "PORT", "poll_ms": 0, "device": {"rcSetting": {}}})",
     "poll_ms: expected an integer from 10 to 60000, found 0"},
    {R"({"port": "PORT", "device": {"rcSetting": {}}, "mqtt": "broker"})", R"(mqtt: expected an object, found "broker")"},
    {R"(["port"])", "(file): expected a JSON object, found an array"},
    {R"({"port": "PORT", "port": "PORT", "device": {"rcSetting": {}}})", "(file): expected a JSON object, found invalid JSON"},
    {R"({"port": "PORT", "device": {"rcSetting": {}})", "(file): expected a JSON object, found invalid JSON"},
};

std::string Fill(std::string text, const std::string& port, const std::string& db) {
    for (auto [key, value] : {std::pair<std::string, std::string>{"PORT", port}, {"DB", db}})
        for (size_t at; (at = text.find(key)) != std::string::npos;) text.replace(at, key.size(), value);
    return text;
}

TEST(Config, EveryMalformedConfigExitsTwoWithItsMessage) {
    TempDir dir;
    // A port that exists: nothing may get as far as opening it.
    const std::string port = dir / "port";
    WriteFile(port, "");
    const std::string config = dir / "site.json";
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.config);
        WriteFile(config, Fill(c.config, port, dir / "never.db"));
        MonitorProcess mon(M520S_MONITOR_PATH, {"--config", config, "--json"});
        EXPECT_EQ(mon.Wait(), 2);
        const std::string err = mon.Stderr();
        EXPECT_EQ(err.rfind("m520s-monitor: " + config + ": " + c.message, 0), 0u) << err;
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
        EXPECT_FALSE(std::filesystem::exists(dir / "never.db"));
    }
}

TEST(Config, GoodConfigPassesAndOverridesApply) {
    const monitor::Overrides none;
    const monitor::Config c = monitor::ParseConfig("site.json", Fill(kGood, "/dev/ttyS1", "a.db"), none);
    EXPECT_EQ(c.port, "/dev/ttyS1");
    EXPECT_EQ(c.db, "a.db");
    EXPECT_EQ(c.poll_ms, 500u);
    EXPECT_EQ(c.device_id, 1u);
    EXPECT_EQ(c.device["acSetting"][0]["data_id"].asUInt(), 11u);
    EXPECT_FALSE(c.sections.count("mqtt"));

    const monitor::Overrides over{"/dev/ttyUSB0", "b.db", "/opt/libm520s.so"};
    const monitor::Config o = monitor::ParseConfig("site.json", R"({"device": {"data_id": 7, "rcSetting": {}},
        "mqtt": {"host": "127.0.0.1"}})", over);
    EXPECT_EQ(o.port, "/dev/ttyUSB0");
    EXPECT_EQ(o.db, "b.db");
    EXPECT_EQ(o.plugin, "/opt/libm520s.so");
    EXPECT_EQ(o.device_id, 7u);
    EXPECT_EQ(std::any_cast<monitor::MqttConfig>(o.sections.at("mqtt")).host, "127.0.0.1");

    // The demo's built-in config passes its own checks.
    const monitor::Config demo = monitor::DemoConfig("/dev/pts/9", "m520s-demo.db");
    Json::Value as_file(Json::objectValue);
    as_file["port"] = demo.port;
    as_file["device"] = demo.device;
    Json::StreamWriterBuilder b;
    EXPECT_NO_THROW(monitor::ParseConfig("demo", Json::writeString(b, as_file), none));
}

std::string ErrorOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const monitor::ConfigError& e) {
        return e.what();
    }
    return "accepted";
}

TEST(Config, DefaultsFollowTheSiteAndSinkSectionsPlugIn) {
    const monitor::Overrides none;
    const monitor::Config d = monitor::ParseConfig("site.json", Fill(kGood, "/dev/ttyS1", "a.db"), none);
    EXPECT_EQ(std::tie(d.model, d.language, d.log_level), std::make_tuple("M520S", "en", "info"));
    EXPECT_TRUE(d.sections.empty());
    // The site defaults to the host name, made fit for topics and ids.
    char host[256] = {};
    ASSERT_EQ(gethostname(host, sizeof host - 1), 0);
    std::string site(host);
    for (char& ch : site)
        if (!std::isalnum(static_cast<unsigned char>(ch)) && ch != '-') ch = '_';
    EXPECT_EQ(d.site, site.substr(0, 64));
    // Texts the driver reads with atof that it reads whole.
    for (const char* diff : {R"("20")", R"(" 0.5	")", R"("-1e3")", R"(".5")", R"("+7.")", "3", "-2.5"}) {
        std::string text = Fill(kGood, "/dev/ttyS1", "a.db");
        text.replace(text.find(R"("0.5")"), 5, diff);
        EXPECT_EQ(ErrorOf([&] { monitor::ParseConfig("site.json", text, none); }), "accepted") << diff;
    }

    // MQTT defaults carry the site; the section is kept under its key.
    const std::string mqtt = R"({"port": "p", "site": "roof", "device": {"data_id": 7, "rcSetting": {}},
        "mqtt": {"host": "h"}})";
    const monitor::Config m = monitor::ParseConfig("site.json", mqtt, none);
    const auto mc = std::any_cast<monitor::MqttConfig>(m.sections.at("mqtt"));
    EXPECT_EQ(std::tie(mc.client_id, mc.prefix), std::make_tuple("m520s-roof-7", "m520s/roof/7"));
    EXPECT_EQ(mc.host, "h");

    // Another sink's section: checked after the rest, worded the same way.
    std::vector<std::string> seen;
    const monitor::SectionCheck http[] = {
        {"http", [&](const Json::Value& s, const common::JsonChecker& c, const monitor::Config& so_far) -> std::any {
             c.Object(s, "http", {"listen"});
             seen.push_back(so_far.site + " " + std::to_string(so_far.device_id));
             return c.Text(c.Require(s, "http", "listen", "an address"), "http.listen");
         }}};
    const std::string base = R"({"port": "p", "site": "roof", "device": {"data_id": 7, "rcSetting": {}})";
    const monitor::Config h = monitor::ParseConfig("site.json", base + R"(, "http": {"listen": "[::1]:80"}})", none, http);
    EXPECT_EQ(std::any_cast<std::string>(h.sections.at("http")), "[::1]:80");
    EXPECT_EQ(seen, std::vector<std::string>{"roof 7"});
    EXPECT_FALSE(h.sections.count("mqtt"));
    EXPECT_EQ(ErrorOf([&] { monitor::ParseConfig("site.json", base + R"(, "http": {}})", none, http); }),
              "site.json: http.listen: expected an address, found nothing");
    EXPECT_EQ(ErrorOf([&] { monitor::ParseConfig("site.json", mqtt, none, http); }),
              "site.json: mqtt: expected one of port, plugin, db, poll_ms, device, model, language, site, log_level, "
              "history, http, found unknown key \"mqtt\"");
    EXPECT_TRUE(monitor::ParseConfig("site.json", base + "}", none, http).sections.empty());
    EXPECT_EQ(seen.size(), 2u);  // not called where the section is absent
}

TEST(Config, CommandLineRefusals) {
    struct Line {
        std::vector<std::string> args;
        const char* message;
    };
    const Line lines[] = {
        {{"--bogus"}, "m520s-monitor: The following argument was not expected: --bogus"},
        {{"--cycles", "0", "--config", "x"},
         "m520s-monitor: --cycles: expected a whole number from 1 to 1000000000, found \"0\""},
        {{"--port", "/dev/null", "--json"}, "m520s-monitor: --config FILE is required with --port"},
        {{"--config", "/nonexistent/site.json"},
         "m520s-monitor: /nonexistent/site.json: (file): expected a readable file, found No such file or directory"},
    };
    for (const auto& l : lines) {
        MonitorProcess mon(M520S_MONITOR_PATH, l.args);
        EXPECT_EQ(mon.Wait(), 2);
        EXPECT_EQ(mon.Stderr().rfind(l.message, 0), 0u) << mon.Stderr();
    }
    MonitorProcess help(M520S_MONITOR_PATH, {"--help"});
    EXPECT_EQ(help.Wait(), 0);
    MonitorProcess version(M520S_MONITOR_PATH, {"--version"});
    EXPECT_EQ(version.Wait(), 0);
    EXPECT_EQ(version.NextEvent(100)["text"].asString().rfind("m520s-monitor ", 0), 0u);
}

// Counts and durations are whole numbers in a sane range: anything else is
// refused before anything is opened, with one line naming the option, the
// range and what was typed. (1e17 seconds or "nan" used to be taken and left
// the program spinning.)
TEST(Config, NumberOptionsTakeOnlyWholeNumbersInTheirRange) {
    struct Number {
        const char* option;
        const char* range;
        std::vector<std::string> refused;
        const char* largest;
    };
    const std::vector<std::string> never{"-1", "1.5", "nan", "inf", "1e17", "abc", "", "+3", "0x10", " 7"};
    const Number numbers[] = {
        {"--cycles", "from 1 to 1000000000", {"0", "1000000001", "18446744073709551616"}, "1000000000"},
        {"--seconds", "from 1 to 31536000", {"0", "31536001", "100000000000000000"}, "31536000"},
    };
    for (const auto& n : numbers) {
        std::vector<std::string> values = n.refused;
        values.insert(values.end(), never.begin(), never.end());
        for (const auto& v : values) {
            SCOPED_TRACE(std::string(n.option) + " " + v);
            MonitorProcess mon(M520S_MONITOR_PATH, {n.option, v, "--config", "/nonexistent/site.json"});
            EXPECT_EQ(mon.Wait(), 2);
            const std::string err = mon.Stderr();
            EXPECT_EQ(err.rfind(std::string("m520s-monitor: ") + n.option + ": expected a whole number " + n.range +
                                    ", found \"" + v + "\"",
                                0),
                      0u)
                << err;
            EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
        }
        // The largest is taken: the program gets as far as the config.
        MonitorProcess top(M520S_MONITOR_PATH, {n.option, n.largest, "--config", "/nonexistent/site.json"});
        EXPECT_EQ(top.Wait(), 2);
        EXPECT_EQ(top.Stderr().rfind("m520s-monitor: /nonexistent/site.json: ", 0), 0u) << top.Stderr();
    }
}

}  // namespace
}  // namespace monitor_test
