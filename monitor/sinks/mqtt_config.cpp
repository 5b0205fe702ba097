#include "monitor/sinks/mqtt_config.h"

#include <fmt/format.h>

namespace monitor {

namespace {

MqttTls ParseTls(const Json::Value& tls, const common::JsonChecker& c) {
    c.Object(tls, "mqtt.tls", {"ca_file", "cert_file", "key_file"});
    MqttTls t;
    t.ca_file = c.ReadableFile(c.Require(tls, "mqtt.tls", "ca_file", "a readable file"), "mqtt.tls.ca_file");
    if (tls.isMember("cert_file")) t.cert_file = c.ReadableFile(tls["cert_file"], "mqtt.tls.cert_file");
    if (tls.isMember("key_file")) t.key_file = c.ReadableFile(tls["key_file"], "mqtt.tls.key_file");
    if (t.cert_file.empty() != t.key_file.empty())
        c.Missing(t.cert_file.empty() ? "mqtt.tls.cert_file" : "mqtt.tls.key_file",
                  "a readable file (a client certificate needs both cert_file and key_file)");
    return t;
}

}  // namespace

MqttConfig ParseMqttConfig(const Json::Value& mqtt, const common::JsonChecker& c, uint32_t device_id,
                           const std::string& site) {
    c.Object(mqtt, "mqtt",
             {"host", "port", "client_id", "prefix", "username", "password", "tls", "discovery_prefix",
              "keepalive_s"});
    MqttConfig cfg;
    cfg.device_id = device_id;
    cfg.site = site;
    cfg.host = c.Text(c.Require(mqtt, "mqtt", "host", "a host name or address"), "mqtt.host");
    if (mqtt.isMember("port")) cfg.port = static_cast<int>(c.Integer(mqtt["port"], "mqtt.port", 1, 65535));

    // The site keeps two sites with the same main device id apart on one broker.
    cfg.client_id = fmt::format("m520s-{}-{}", site, device_id);
    // MQTT caps it at 65535 bytes; a broker may accept less, which shows as a refused connection.
    if (mqtt.isMember("client_id")) cfg.client_id = c.Text(mqtt["client_id"], "mqtt.client_id", {.max_bytes = 65535});
    cfg.prefix = fmt::format("m520s/{}/{}", site, device_id);
    if (mqtt.isMember("prefix")) cfg.prefix = c.Topic(mqtt["prefix"], "mqtt.prefix", false);

    if (mqtt.isMember("username")) cfg.username = c.Text(mqtt["username"], "mqtt.username");
    if (mqtt.isMember("password")) {
        cfg.password = c.Text(mqtt["password"], "mqtt.password", {.allow_empty = true});
        // MQTT has no way to send a password without a user name.
        if (!cfg.username) c.FailFound("mqtt.password", "\"username\" beside it", "a password alone");
    }
    if (mqtt.isMember("tls")) cfg.tls = ParseTls(mqtt["tls"], c);

    if (mqtt.isMember("discovery_prefix"))
        cfg.discovery_prefix = c.Topic(mqtt["discovery_prefix"], "mqtt.discovery_prefix", true);
    // libmosquitto refuses a keep-alive below 5 s.
    if (mqtt.isMember("keepalive_s"))
        cfg.keepalive_s = static_cast<int>(c.Integer(mqtt["keepalive_s"], "mqtt.keepalive_s", 5, 65535));
    return cfg;
}

}  // namespace monitor
