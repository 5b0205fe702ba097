#include "monitor/sinks/mqtt_config.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <vector>

namespace monitor {

namespace {

// ---- config check ----

std::string Found(const Json::Value& v) {
    switch (v.type()) {
    case Json::nullValue: return "null";
    case Json::arrayValue: return "an array";
    case Json::objectValue: return "an object";
    case Json::stringValue: {
        Json::StreamWriterBuilder b;
        b["indentation"] = "";
        b["emitUTF8"] = true;
        return Json::writeString(b, v);
    }
    default: {
        Json::StreamWriterBuilder b;
        b["indentation"] = "";
        return Json::writeString(b, v);
    }
    }
}

struct Checker {
    const std::string& file;

    [[noreturn]] void Fail(const std::string& path, const std::string& expected,
                           const std::string& found) const {
        throw MqttConfigError(file + ": " + path + ": expected " + expected + ", found " + found);
    }

    void OnlyKeys(const Json::Value& obj, const std::string& path,
                  const std::vector<std::string>& keys) const {
        for (const auto& name : obj.getMemberNames()) {
            if (std::find(keys.begin(), keys.end(), name) != keys.end()) continue;
            std::string list;
            for (const auto& k : keys) list += (list.empty() ? "" : ", ") + k;
            Fail(path + "." + name, "one of " + list, "an unknown key");
        }
    }

    std::string Text(const Json::Value& v, const std::string& path, bool allow_empty) const {
        if (!v.isString() || (!allow_empty && v.asString().empty()))
            Fail(path, allow_empty ? "a text" : "a non-empty text", v.isString() ? "\"\"" : Found(v));
        return v.asString();
    }

    // A topic level or prefix: wildcards would make every publish fail.
    std::string Topic(const Json::Value& v, const std::string& path, bool allow_empty) const {
        std::string t = Text(v, path, allow_empty);
        if (t.find_first_of("+#") != std::string::npos || (!t.empty() && (t.front() == '/' || t.back() == '/')) ||
            t.find('\0') != std::string::npos)
            Fail(path, "a topic without '+', '#' or a leading or trailing '/'", Found(v));
        return t;
    }

    int Int(const Json::Value& v, const std::string& path, int lo, int hi) const {
        if (!v.isInt() || v.asInt() < lo || v.asInt() > hi)
            Fail(path, "an integer from " + std::to_string(lo) + " to " + std::to_string(hi), Found(v));
        return v.asInt();
    }

    std::string File(const Json::Value& v, const std::string& path) const {
        std::string name = Text(v, path, false);
        std::ifstream in(name);
        if (!in) Fail(path, "a readable file", Found(v) + " (" + std::strerror(errno) + ")");
        return name;
    }
};

}  // namespace

MqttConfig ParseMqttConfig(const Json::Value& mqtt, const std::string& file, uint32_t device_id) {
    Checker c{file};
    if (!mqtt.isObject()) c.Fail("mqtt", "an object", Found(mqtt));
    c.OnlyKeys(mqtt, "mqtt",
               {"host", "port", "client_id", "prefix", "username", "password", "tls", "discovery_prefix",
                "keepalive_s"});

    MqttConfig cfg;
    cfg.device_id = device_id;
    if (!mqtt.isMember("host")) c.Fail("mqtt.host", "a host name or address", "nothing");
    cfg.host = c.Text(mqtt["host"], "mqtt.host", false);
    if (mqtt.isMember("port")) cfg.port = c.Int(mqtt["port"], "mqtt.port", 1, 65535);

    cfg.client_id = "m520s-" + std::to_string(device_id);
    if (mqtt.isMember("client_id")) {
        cfg.client_id = c.Text(mqtt["client_id"], "mqtt.client_id", false);
        // MQTT caps it at 65535 bytes; a broker may accept less, which shows as a refused connection.
        if (cfg.client_id.size() > 65535) c.Fail("mqtt.client_id", "at most 65535 bytes", "a longer text");
    }
    cfg.prefix = "m520s/" + std::to_string(device_id);
    if (mqtt.isMember("prefix")) cfg.prefix = c.Topic(mqtt["prefix"], "mqtt.prefix", false);

    if (mqtt.isMember("username")) cfg.username = c.Text(mqtt["username"], "mqtt.username", false);
    if (mqtt.isMember("password")) {
        cfg.password = c.Text(mqtt["password"], "mqtt.password", true);
        // MQTT has no way to send a password without a user name.
        if (!cfg.username) c.Fail("mqtt.password", "\"username\" beside it", "a password alone");
    }

    if (mqtt.isMember("tls")) {
        const Json::Value& tls = mqtt["tls"];
        if (!tls.isObject()) c.Fail("mqtt.tls", "an object", Found(tls));
        c.OnlyKeys(tls, "mqtt.tls", {"ca_file", "cert_file", "key_file"});
        MqttTls t;
        if (!tls.isMember("ca_file")) c.Fail("mqtt.tls.ca_file", "a readable file", "nothing");
        t.ca_file = c.File(tls["ca_file"], "mqtt.tls.ca_file");
        if (tls.isMember("cert_file")) t.cert_file = c.File(tls["cert_file"], "mqtt.tls.cert_file");
        if (tls.isMember("key_file")) t.key_file = c.File(tls["key_file"], "mqtt.tls.key_file");
        if (t.cert_file.empty() != t.key_file.empty()) {
            const char* missing = t.cert_file.empty() ? "mqtt.tls.cert_file" : "mqtt.tls.key_file";
            c.Fail(missing, "a readable file (a client certificate needs both cert_file and key_file)",
                   "nothing");
        }
        cfg.tls = t;
    }

    if (mqtt.isMember("discovery_prefix"))
        cfg.discovery_prefix = c.Topic(mqtt["discovery_prefix"], "mqtt.discovery_prefix", true);
    // libmosquitto refuses a keep-alive below 5 s.
    if (mqtt.isMember("keepalive_s")) cfg.keepalive_s = c.Int(mqtt["keepalive_s"], "mqtt.keepalive_s", 5, 65535);
    return cfg;
}

}  // namespace monitor
