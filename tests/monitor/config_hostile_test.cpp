// Configs written carelessly or with ill intent, through the real program:
// each is refused with exit 2 and one whole line on standard error naming
// the file, before anything is opened. None hangs (a FIFO), reads without
// bound (/dev/zero), crashes (deep nesting) or echoes what it was given raw.

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <gtest/gtest.h>

#include "monitor/config.h"
#include "tests/monitor/monitor_process.h"
#include "tests/monitor/test_support.h"

namespace monitor_test {
namespace {

const std::string kTopKeys =
    "expected one of port, plugin, db, poll_ms, device, model, language, site, log_level, history, mqtt, http, found unknown key ";
const std::string kDiff = "device.acSetting[0].appSetting.diff_v: expected a number or a text holding a number, found ";

std::string Replace(std::string text, const std::string& key, const std::string& value) {
    for (size_t at; (at = text.find(key)) != std::string::npos;) text.replace(at, key.size(), value);
    return text;
}

// Runs the program on `config`; --db names a file that must never appear.
// A config that is read while it should not be (a FIFO) blocks until the
// wait gives up, which fails the exit code.
void ExpectRefused(const std::string& config, const std::string& line, const std::string& never_db) {
    MonitorProcess mon(M520S_MONITOR_PATH, {"--config", config, "--db", never_db, "--json"});
    EXPECT_EQ(mon.Wait(), 2);
    EXPECT_EQ(mon.Stderr(), "m520s-monitor: " + line + "\n");
    EXPECT_FALSE(std::filesystem::exists(never_db));
}

TEST(ConfigHostile, ValuesAndKeysAreRefusedOnOneEscapedLine) {
    TempDir dir;
    const std::string port = dir / "port", fifo = dir / "ca.fifo", config = dir / "site.json";
    WriteFile(port, "");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    // SLOT is replaced by each case's members; the rest is a good config.
    const std::string base = R"({"port": "PORT", "device": {"acSetting": [{"data_id": 11, "appSetting": {"diff_v": 1}}],
        "rcSetting": {}} SLOT})";
    std::vector<std::pair<std::string, std::string>> cases;
    for (const char* diff : {R"(" ")", R"("")", R"("nan")", R"("inf")", R"("-Infinity")", R"("0x1p3")", R"("1e999")",
                             R"("5 V")", R"("1,5")", R"("	")"}) {
        const std::string found = diff == std::string(R"("	")") ? R"("\t")" : diff;
        cases.push_back({Replace(Replace(base, "SLOT", ""), R"("diff_v": 1)", R"("diff_v": )" + std::string(diff)),
                         kDiff + found});
    }
    const std::pair<std::string, std::string> members[] = {
        {R"("model": "M999")", R"(model: expected a model this program knows ("M520S"), found "M999")"},
        {R"("language": "fr")", R"(language: expected "en" or "zh", found "fr")"},
        {R"("language": null)", R"(language: expected "en" or "zh", found null)"},
        {R"("site": "my site")", R"(site: expected 1 to 64 characters of A-Z, a-z, 0-9, _ and -, found "my site")"},
        {R"("site": "a/b")", R"(site: expected 1 to 64 characters of A-Z, a-z, 0-9, _ and -, found "a/b")"},
        {R"("site": "")", R"(site: expected 1 to 64 characters of A-Z, a-z, 0-9, _ and -, found "")"},
        {R"("site": ")" + std::string(65, 's') + "\"",
         "site: expected 1 to 64 characters of A-Z, a-z, 0-9, _ and -, found \"" + std::string(37, 's') + "...\""},
        {R"("log_level": "verbose")", R"(log_level: expected "debug", "info", "warning" or "error", found "verbose")"},
        {R"("log_level": 3)", R"(log_level: expected "debug", "info", "warning" or "error", found 3)"},
        {R"("db": "a\u0000b")", R"(db: expected a non-empty text without NUL characters, found "a\u0000b")"},
        {R"("mqtt": {"host": "h", "port": 0})", "mqtt.port: expected an integer from 1 to 65535, found 0"},
        {R"("mqtt": {"hots": "h"})",
         R"(mqtt.hots: expected one of host, port, client_id, prefix, username, password, tls, discovery_prefix, keepalive_s, found unknown key "hots")"},
        {R"("mqtt": {"host": "h", "prefix": "m520s/#"})",
         R"(mqtt.prefix: expected a topic without '+', '#' or a leading or trailing '/', found "m520s/#")"},
        {R"("mqtt": {"host": "h", "tls": {"ca_file": "CAFILE"}})",
         R"(mqtt.tls.ca_file: expected a readable file, found "CAFILE" (a FIFO))"},
        // Keys: NUL, terminal controls, a raw newline, bytes that are no
        // UTF-8, quotes and backslashes, and one too long to show whole.
        {R"("a\u0000b": 1)", R"(a\u0000b: )" + kTopKeys + R"("a\u0000b")"},
        {R"("\u001b[2J": 1)", R"(\u001b[2J: )" + kTopKeys + R"("\u001b[2J")"},
        {"\"x\ny\": 1", R"(x\ny: )" + kTopKeys + R"("x\ny")"},
        {"\"\xff\xc3(\": 1", R"(\ufffd\ufffd(: )" + kTopKeys + R"("\ufffd\ufffd(")"},
        {R"("\u009b1m": 1)", R"(\u009b1m: )" + kTopKeys + R"("\u009b1m")"},
        {R"("q\"b\\c": 1)", R"(q"b\\c: )" + kTopKeys + R"("q\"b\\c")"},
        {R"("站点": 1)", R"(站点: )" + kTopKeys + R"("站点")"},
        {"\"" + std::string(100, 'k') + "\": 1",
         std::string(61, 'k') + "...: " + kTopKeys + "\"" + std::string(37, 'k') + "...\""},
    };
    for (const auto& [member, line] : members) cases.push_back({Replace(base, "SLOT", std::string(", ") + member), line});
    for (const auto& [text, line] : cases) {
        SCOPED_TRACE(text);
        WriteFile(config, Replace(Replace(text, "PORT", port), "CAFILE", fifo));
        ExpectRefused(config, config + ": " + Replace(line, "CAFILE", fifo), dir / "never.db");
    }
    // Fixed, the same config passes and the new keys are kept.
    const monitor::Config c = monitor::ParseConfig(
        "site.json",
        Replace(base, "SLOT", R"(, "model": "M520S", "language": "zh", "site": "hall_B-3", "log_level": "debug")"), {});
    EXPECT_EQ(std::tie(c.model, c.language, c.site, c.log_level),
              std::make_tuple("M520S", "zh", "hall_B-3", "debug"));
}

TEST(ConfigHostile, WhatIsNoSmallRegularFileIsNeverRead) {
    TempDir dir;
    const std::string never = dir / "never.db";
    const std::string fifo = dir / "fifo.json", sub = dir / "configs", big = dir / "big.json",
                      deep = dir / "deep.json", sock = dir / "socket.json", odd = dir / "site\x1b[1m.json";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    ASSERT_TRUE(std::filesystem::create_directory(sub));
    // Valid JSON, one byte over the limit.
    const std::string good = R"({"port": "/dev/null", "device": {"rcSetting": {}}})";
    WriteFile(big, good + std::string(1048577 - good.size(), ' '));
    WriteFile(deep, R"({"port": "/dev/null", "device": )" + std::string(1000, '[') + std::string(1000, ']') + "}");
    WriteFile(odd, "{\"port\": \x01}");
    const int s = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    ASSERT_LT(sock.size(), sizeof addr.sun_path);
    std::copy(sock.begin(), sock.end(), addr.sun_path);
    ASSERT_EQ(bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);

    const std::pair<std::string, std::string> cases[] = {
        {fifo, fifo + ": (file): expected a readable file, found a FIFO"},
        {"/dev/zero", "/dev/zero: (file): expected a readable file, found a character device"},
        {sub, sub + ": (file): expected a readable file, found a directory"},
        {sock, sock + ": (file): expected a readable file, found a socket"},
        {big, big + ": (file): expected a file of at most 1048576 bytes (1 MB), found 1048577 bytes"},
        {deep, deep + ": (file): expected a JSON object nested at most 100 levels deep, found deeper nesting"},
        {odd, Replace(odd, "\x1b", "\\u001b") +
                  ": (file): expected a JSON object, found invalid JSON: Line 1, Column 10 Syntax error: value, "
                  "object or array expected."},
    };
    for (const auto& [path, line] : cases) {
        SCOPED_TRACE(path);
        ExpectRefused(path, line, never);
    }
    close(s);

    // At the limit a file is read whole, and a value 100 levels down (the
    // object, 98 arrays, the number) is read; one level more is not.
    WriteFile(big, good + std::string(1048576 - good.size(), ' '));
    EXPECT_EQ(monitor::LoadConfigFile(big, {}).port, "/dev/null");
    for (const auto& [arrays, line] :
         {std::pair<int, std::string>{98, "mqtt: expected an object, found an array"},
          {99, "(file): expected a JSON object nested at most 100 levels deep, found deeper nesting"}}) {
        const std::string nested = std::string(arrays, '[') + "1" + std::string(arrays, ']');
        WriteFile(deep, R"({"port": "/dev/null", "device": {"rcSetting": {}}, "mqtt": )" + nested + "}");
        try {
            monitor::LoadConfigFile(deep, {});
            ADD_FAILURE() << "an array accepted as the mqtt section";
        } catch (const monitor::ConfigError& e) {
            EXPECT_EQ(std::string(e.what()), deep + ": " + line);
        }
    }
}

}  // namespace
}  // namespace monitor_test
