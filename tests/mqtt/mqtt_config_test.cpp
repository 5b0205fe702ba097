// The "mqtt" object of the config: defaults and every mistake, each reported
// as one line with the file, the key path, what was expected and what was found.

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <memory>

#include "monitor/mqtt.h"

namespace {

Json::Value Parse(const std::string& text) {
    Json::Value v;
    Json::CharReaderBuilder b;
    std::string errs;
    std::unique_ptr<Json::CharReader> r(b.newCharReader());
    EXPECT_TRUE(r->parse(text.data(), text.data() + text.size(), &v, &errs)) << text << ": " << errs;
    return v;
}

std::string ErrorOf(const std::string& text, uint32_t id = 1) {
    try {
        monitor::ParseMqttConfig(Parse(text), "site.json", id);
    } catch (const monitor::MqttConfigError& e) {
        return e.what();
    }
    return "(accepted)";
}

TEST(MqttConfig, DefaultsFollowTheMainDeviceId) {
    auto c = monitor::ParseMqttConfig(Parse(R"({"host": "broker.local"})"), "site.json", 17);
    EXPECT_EQ(c.host, "broker.local");
    EXPECT_EQ(c.port, 1883);
    EXPECT_EQ(c.client_id, "m520s-17");
    EXPECT_EQ(c.prefix, "m520s/17");
    EXPECT_EQ(c.discovery_prefix, "homeassistant");
    EXPECT_EQ(c.keepalive_s, 30);
    EXPECT_EQ(c.device_id, 17u);
    EXPECT_FALSE(c.username || c.password || c.tls);

    char ca[] = "/tmp/m520s-ca-XXXXXX";
    int fd = mkstemp(ca);
    ASSERT_GE(fd, 0);
    close(fd);
    auto full = monitor::ParseMqttConfig(
        Parse(std::string(R"({"host": "10.0.0.2", "port": 8883, "client_id": "site-a", "prefix": "fleet/site-a",
                              "username": "u", "password": "", "discovery_prefix": "", "keepalive_s": 5,
                              "tls": {"ca_file": ")") + ca + R"(", "cert_file": ")" + ca + R"(", "key_file": ")" +
              ca + R"("}})"),
        "site.json", 2);
    EXPECT_EQ(full.port, 8883);
    EXPECT_EQ(full.client_id, "site-a");
    EXPECT_EQ(full.prefix, "fleet/site-a");
    EXPECT_EQ(*full.username, "u");
    EXPECT_EQ(*full.password, "");
    EXPECT_EQ(full.discovery_prefix, "");
    EXPECT_EQ(full.keepalive_s, 5);
    ASSERT_TRUE(full.tls);
    EXPECT_EQ(full.tls->ca_file, ca);
    EXPECT_EQ(full.tls->key_file, ca);
    unlink(ca);
}

TEST(MqttConfig, EveryMistakeNamesItsKey) {
    const std::string keys = "one of host, port, client_id, prefix, username, password, tls, discovery_prefix, keepalive_s";
    const std::pair<const char*, std::string> cases[] = {
        {R"([])", "site.json: mqtt: expected an object, found an array"},
        {R"({})", "site.json: mqtt.host: expected a host name or address, found nothing"},
        {R"({"host": ""})", "site.json: mqtt.host: expected a non-empty text, found \"\""},
        {R"({"host": 5})", "site.json: mqtt.host: expected a non-empty text, found 5"},
        {R"({"host": "h", "hots": "h"})", "site.json: mqtt.hots: expected " + keys + ", found an unknown key"},
        {R"({"host": "h", "port": 0})", "site.json: mqtt.port: expected an integer from 1 to 65535, found 0"},
        {R"({"host": "h", "port": 65536})", "site.json: mqtt.port: expected an integer from 1 to 65535, found 65536"},
        {R"({"host": "h", "port": "1883"})", "site.json: mqtt.port: expected an integer from 1 to 65535, found \"1883\""},
        {R"({"host": "h", "port": 1883.5})", "site.json: mqtt.port: expected an integer from 1 to 65535, found 1883.5"},
        {R"({"host": "h", "port": true})", "site.json: mqtt.port: expected an integer from 1 to 65535, found true"},
        {R"({"host": "h", "client_id": ""})", "site.json: mqtt.client_id: expected a non-empty text, found \"\""},
        {R"({"host": "h", "prefix": "a/#"})",
         "site.json: mqtt.prefix: expected a topic without '+', '#' or a leading or trailing '/', found \"a/#\""},
        {R"({"host": "h", "prefix": "a/"})",
         "site.json: mqtt.prefix: expected a topic without '+', '#' or a leading or trailing '/', found \"a/\""},
        {R"({"host": "h", "prefix": null})", "site.json: mqtt.prefix: expected a non-empty text, found null"},
        {R"({"host": "h", "discovery_prefix": "ha/+"})",
         "site.json: mqtt.discovery_prefix: expected a topic without '+', '#' or a leading or trailing '/', found \"ha/+\""},
        {R"({"host": "h", "username": ["u"]})", "site.json: mqtt.username: expected a non-empty text, found an array"},
        {R"({"host": "h", "password": "p"})",
         "site.json: mqtt.password: expected \"username\" beside it, found a password alone"},
        {R"({"host": "h", "keepalive_s": 4})", "site.json: mqtt.keepalive_s: expected an integer from 5 to 65535, found 4"},
        {R"({"host": "h", "tls": "yes"})", "site.json: mqtt.tls: expected an object, found \"yes\""},
        {R"({"host": "h", "tls": {}})", "site.json: mqtt.tls.ca_file: expected a readable file, found nothing"},
        {R"({"host": "h", "tls": {"ca_file": "/nonexistent/ca.pem"}})",
         "site.json: mqtt.tls.ca_file: expected a readable file, found \"/nonexistent/ca.pem\" (No such file or directory)"},
        {R"({"host": "h", "tls": {"ca_file": "/etc/passwd", "cafile": "x"}})",
         "site.json: mqtt.tls.cafile: expected one of ca_file, cert_file, key_file, found an unknown key"},
        {R"({"host": "h", "tls": {"ca_file": "/etc/passwd", "cert_file": "/etc/passwd"}})",
         "site.json: mqtt.tls.key_file: expected a readable file (a client certificate needs both cert_file and "
         "key_file), found nothing"},
    };
    for (const auto& [text, expected] : cases) EXPECT_EQ(ErrorOf(text), expected) << text;
}

}  // namespace
