// The "mqtt" object of the config: defaults, and every mistake reported as
// one line with the file, the key path, what was expected and what was found.

#include <gtest/gtest.h>

#include "monitor/sinks/mqtt_config.h"

namespace {

monitor::MqttConfig Check(const std::string& text, uint32_t id = 1, const std::string& site = "roof") {
    Json::Value v;
    std::istringstream in(text);
    in >> v;
    return monitor::ParseMqttConfig(v, common::JsonChecker("site.json"), id, site);
}

TEST(MqttConfig, DefaultsAndEveryMistake) {
    auto c = Check(R"({"host": "broker.local"})", 17);
    EXPECT_EQ(std::tie(c.host, c.port, c.client_id, c.prefix, c.discovery_prefix, c.keepalive_s),
              std::make_tuple("broker.local", 1883, "m520s-roof-17", "m520s/roof/17", "homeassistant", 30));
    c = Check(R"({"host": "broker.local"})", 2, "hall_B-3");
    EXPECT_EQ(std::tie(c.client_id, c.prefix), std::make_tuple("m520s-hall_B-3-2", "m520s/hall_B-3/2"));
    EXPECT_FALSE(c.username || c.password || c.tls);
    c = Check(R"({"host": "h", "port": 8883, "client_id": "a", "prefix": "f/a", "username": "u", "password": "",
                  "discovery_prefix": "", "keepalive_s": 5, "tls": {"ca_file": "/etc/passwd",
                  "cert_file": "/etc/passwd", "key_file": "/etc/passwd"}})");
    EXPECT_EQ(std::tie(c.port, c.client_id, c.prefix, *c.username, *c.password, c.discovery_prefix, c.tls->key_file),
              std::make_tuple(8883, "a", "f/a", "u", "", "", "/etc/passwd"));

    const std::string keys = "one of host, port, client_id, prefix, username, password, tls, discovery_prefix, keepalive_s";
    const std::string topic = "expected a topic without '+', '#' or a leading or trailing '/', found ";
    const std::pair<const char*, std::string> cases[] = {
        {R"([])", "mqtt: expected an object, found an array"},
        {R"({})", "mqtt.host: expected a host name or address, found nothing"},
        {R"({"host": ""})", "mqtt.host: expected a non-empty text, found \"\""},
        {R"({"host": "h", "hots": "h"})", "mqtt.hots: expected " + keys + ", found unknown key \"hots\""},
        {R"({"host": "h", "port": 0})", "mqtt.port: expected an integer from 1 to 65535, found 0"},
        {R"({"host": "h", "port": 65536})", "mqtt.port: expected an integer from 1 to 65535, found 65536"},
        {R"({"host": "h", "port": "1883"})", "mqtt.port: expected an integer from 1 to 65535, found \"1883\""},
        {R"({"host": "h", "port": 1883.5})", "mqtt.port: expected an integer from 1 to 65535, found 1883.5"},
        {R"({"host": "h", "port": true})", "mqtt.port: expected an integer from 1 to 65535, found true"},
        {R"({"host": "h", "client_id": 3})", "mqtt.client_id: expected a non-empty text of at most 65535 bytes, found 3"},
        {R"({"host": "h", "prefix": "a/#"})", "mqtt.prefix: " + topic + "\"a/#\""},
        {R"({"host": "h", "prefix": "/a"})", "mqtt.prefix: " + topic + "\"/a\""},
        {R"({"host": "h", "prefix": null})", "mqtt.prefix: expected a non-empty text, found null"},
        {R"({"host": "h", "discovery_prefix": "ha/+"})", "mqtt.discovery_prefix: " + topic + "\"ha/+\""},
        {R"({"host": "h", "username": ["u"]})", "mqtt.username: expected a non-empty text, found an array"},
        {R"({"host": "h", "password": "p"})", "mqtt.password: expected \"username\" beside it, found a password alone"},
        {R"({"host": "h", "keepalive_s": 4})", "mqtt.keepalive_s: expected an integer from 5 to 65535, found 4"},
        {R"({"host": "h", "tls": "yes"})", "mqtt.tls: expected an object, found \"yes\""},
        {R"({"host": "h", "tls": {}})", "mqtt.tls.ca_file: expected a readable file, found nothing"},
        {R"({"host": "h", "tls": {"ca_file": "/nonexistent/ca.pem"}})",
         "mqtt.tls.ca_file: expected a readable file, found \"/nonexistent/ca.pem\" (No such file or directory)"},
        {R"({"host": "h", "tls": {"ca_file": "/etc/passwd", "cafile": "x"}})",
         "mqtt.tls.cafile: expected one of ca_file, cert_file, key_file, found unknown key \"cafile\""},
        {R"({"host": "h", "tls": {"ca_file": "/"}})", "mqtt.tls.ca_file: expected a readable file, found \"/\" (a directory)"},
        {R"({"host": "h", "tls": {"ca_file": "/dev/null"}})",
         "mqtt.tls.ca_file: expected a readable file, found \"/dev/null\" (a character device)"},
        {R"({"host": "h", "tls": {"ca_file": "/etc/passwd", "cert_file": "/etc/passwd"}})",
         "mqtt.tls.key_file: expected a readable file (a client certificate needs both cert_file and key_file), "
         "found nothing"},
    };
    for (const auto& [text, expected] : cases) {
        try {
            Check(text);
            ADD_FAILURE() << text << " accepted";
        } catch (const common::JsonError& e) {
            EXPECT_EQ(e.what(), "site.json: " + expected) << text;
        }
    }
    // A client id is at most what MQTT can carry.
    try {
        Check(R"({"host": "h", "client_id": ")" + std::string(65536, 'c') + "\"}");
        ADD_FAILURE() << "a client id of 65536 bytes accepted";
    } catch (const common::JsonError& e) {
        EXPECT_EQ(e.what(), "site.json: mqtt.client_id: expected a non-empty text of at most 65535 bytes, found \"" +
                                std::string(37, 'c') + "...\"");
    }
}

}  // namespace
