#include "monitor/config.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <vector>

#include <fmt/format.h>

namespace monitor {

namespace {

// The main device's 2 s poll guard: a stall limit below it plus one time-out
// would restart cycles that are merely waiting.
constexpr int64_t kGuardMs = 2000;

class Checker {
public:
    explicit Checker(std::string file) : file(std::move(file)) {}

    [[noreturn]] void fail(const std::string& path, const std::string& expected, const Json::Value& found) const {
        throw ConfigError(fmt::format("{}: {}: expected {}, found {}", file, path, expected, DescribeFound(found)));
    }
    [[noreturn]] void fail_missing(const std::string& path, const std::string& expected) const {
        throw ConfigError(fmt::format("{}: {}: expected {}, found nothing", file, path, expected));
    }

    void only_keys(const Json::Value& obj, const std::string& path, std::initializer_list<const char*> known) const {
        for (const auto& name : obj.getMemberNames()) {
            bool ok = false;
            for (const char* k : known) ok = ok || name == k;
            if (ok) continue;
            std::string list;
            for (const char* k : known) list += (list.empty() ? "" : ", ") + std::string(k);
            const std::string where = path.empty() ? name : path + "." + name;
            if (known.size() == 0)
                throw ConfigError(fmt::format("{}: {}: expected no keys here, found unknown key \"{}\"", file, where, name));
            throw ConfigError(
                fmt::format("{}: {}: expected one of {}, found unknown key \"{}\"", file, where, list, name));
        }
    }

    void object(const Json::Value& v, const std::string& path) const {
        if (!v.isObject()) fail(path, "an object", v);
    }

    std::string text(const Json::Value& v, const std::string& path) const {
        if (!v.isString()) fail(path, "a text", v);
        if (v.asString().empty()) fail(path, "a non-empty text", v);
        return v.asString();
    }

    // Integral JSON numbers only (1.0 passes, 1.5 does not).
    int64_t integer(const Json::Value& v, const std::string& path, int64_t lo, int64_t hi) const {
        const std::string want = fmt::format("an integer from {} to {}", lo, hi);
        if (!v.isNumeric() || v.isBool()) fail(path, want, v);
        if (v.isDouble() && !v.isInt64() && !v.isUInt64()) fail(path, want, v);
        if (v.isUInt64() && !v.isInt64()) fail(path, want, v);
        const int64_t n = v.asInt64();
        if (n < lo || n > hi) fail(path, want, v);
        return n;
    }

    uint32_t data_id(const Json::Value& v, const std::string& path) const {
        if (v.isNull()) fail_missing(path, "an unsigned integer");
        if (!v.isUInt() || v.isBool() || (v.isDouble() && std::floor(v.asDouble()) != v.asDouble()))
            fail(path, "an unsigned integer", v);
        return v.asUInt();
    }

    // The units read these with asString() and atof(); a text that holds no
    // number would silently become 0.
    void number_or_text(const Json::Value& v, const std::string& path) const {
        const char* want = "a number or a text holding a number";
        if (v.isNumeric() && !v.isBool()) return;
        if (!v.isString()) fail(path, want, v);
        const std::string s = v.asString();
        errno = 0;
        char* end = nullptr;
        std::strtod(s.c_str(), &end);
        while (end && (*end == ' ' || *end == '\t')) ++end;
        if (s.empty() || end == s.c_str() || (end && *end != '\0')) fail(path, want, v);
    }

    void unit(const Json::Value& el, const std::string& path, std::map<uint32_t, std::string>& seen) const {
        object(el, path);
        only_keys(el, path, {"data_id", "appSetting"});
        const uint32_t id = data_id(el["data_id"], path + ".data_id");
        auto [it, fresh] = seen.emplace(id, path + ".data_id");
        if (!fresh)
            throw ConfigError(fmt::format("{}: {}.data_id: expected an id no other device has, found {} (also {})", file,
                                          path, id, it->second));
        if (el.isMember("appSetting")) {
            const Json::Value& app = el["appSetting"];
            object(app, path + ".appSetting");
            only_keys(app, path + ".appSetting", {"diff_v", "diff_i"});
            for (const char* k : {"diff_v", "diff_i"})
                if (app.isMember(k)) number_or_text(app[k], path + ".appSetting." + k);
        }
    }

    void device(const Json::Value& dev, uint32_t& main_id) const {
        object(dev, "device");
        only_keys(dev, "device",
                  {"data_id", "acSetting", "dcSetting", "rcSetting", "address", "timeout_ms", "retries", "stall_ms",
                   "frame_gap_ms"});
        main_id = dev.isMember("data_id") ? data_id(dev["data_id"], "device.data_id") : 1;

        std::map<uint32_t, std::string> seen;
        // The rectifier group carries the main device's id.
        seen.emplace(main_id, "device.data_id");
        for (const char* group : {"acSetting", "dcSetting"}) {
            if (!dev.isMember(group)) continue;
            const Json::Value& list = dev[group];
            const std::string path = std::string("device.") + group;
            if (!list.isArray()) fail(path, "an array of objects", list);
            for (Json::ArrayIndex i = 0; i < list.size(); ++i)
                unit(list[i], fmt::format("{}[{}]", path, i), seen);
        }
        // Without it the driver refuses the whole settings object.
        if (!dev.isMember("rcSetting")) fail_missing("device.rcSetting", "an object");
        object(dev["rcSetting"], "device.rcSetting");
        only_keys(dev["rcSetting"], "device.rcSetting", {});

        if (dev.isMember("address")) integer(dev["address"], "device.address", 0, 255);
        int64_t timeout = 1500;
        if (dev.isMember("timeout_ms")) timeout = integer(dev["timeout_ms"], "device.timeout_ms", 1, 600000);
        if (dev.isMember("retries")) integer(dev["retries"], "device.retries", 0, 100);
        if (dev.isMember("stall_ms")) {
            const Json::Value& v = dev["stall_ms"];
            const int64_t lo = kGuardMs + timeout;
            const std::string want = fmt::format("an integer from {} (2000 + timeout_ms) to 3600000", lo);
            if (!v.isNumeric() || v.isBool() || !(v.isInt64() || v.isUInt64())) fail("device.stall_ms", want, v);
            if (!v.isInt64() || v.asInt64() < lo || v.asInt64() > 3600000) fail("device.stall_ms", want, v);
        }
        if (dev.isMember("frame_gap_ms")) integer(dev["frame_gap_ms"], "device.frame_gap_ms", 1, 600000);
    }

    const std::string file;
};

}  // namespace

std::string DescribeFound(const Json::Value& v) {
    switch (v.type()) {
        case Json::nullValue: return "null";
        case Json::objectValue: return "an object";
        case Json::arrayValue: return "an array";
        case Json::booleanValue: return v.asBool() ? "true" : "false";
        case Json::stringValue: {
            std::string s = v.asString();
            if (s.size() > 40) s = s.substr(0, 37) + "...";
            Json::StreamWriterBuilder b;
            b["indentation"] = "";
            b["emitUTF8"] = true;
            return Json::writeString(b, Json::Value(s));
        }
        default: {
            Json::StreamWriterBuilder b;
            b["indentation"] = "";
            return Json::writeString(b, v);
        }
    }
}

Config ParseConfig(const std::string& file_name, const std::string& text, const Overrides& over) {
    Json::CharReaderBuilder rb;
    Json::CharReaderBuilder::strictMode(&rb.settings_);
    rb["allowSpecialFloats"] = false;
    std::unique_ptr<Json::CharReader> reader(rb.newCharReader());
    Json::Value root;
    std::string errs;
    if (!reader->parse(text.data(), text.data() + text.size(), &root, &errs)) {
        // jsoncpp reports "* Line 3, Column 5\n  Syntax error: ..."; one line is enough.
        std::string line;
        for (char c : errs) line += (c == '\n') ? ' ' : c;
        while (!line.empty() && (line.front() == '*' || line.front() == ' ')) line.erase(line.begin());
        while (!line.empty() && line.back() == ' ') line.pop_back();
        throw ConfigError(fmt::format("{}: (file): expected a JSON object, found invalid JSON: {}", file_name, line));
    }
    Checker c(file_name);
    if (!root.isObject()) c.fail("(file)", "a JSON object", root);
    c.only_keys(root, "", {"port", "plugin", "db", "poll_ms", "device", "mqtt"});

    Config cfg;
    cfg.file = file_name;
    if (!over.port.empty())
        cfg.port = over.port;
    else if (root.isMember("port"))
        cfg.port = c.text(root["port"], "port");
    else
        c.fail_missing("port", "a text (or --port)");
    if (root.isMember("plugin")) cfg.plugin = c.text(root["plugin"], "plugin");
    if (!over.plugin.empty()) cfg.plugin = over.plugin;
    if (root.isMember("db")) cfg.db = c.text(root["db"], "db");
    if (!over.db.empty()) cfg.db = over.db;
    if (root.isMember("poll_ms")) cfg.poll_ms = static_cast<unsigned>(c.integer(root["poll_ms"], "poll_ms", 10, 60000));
    if (!root.isMember("device")) c.fail_missing("device", "an object");
    c.device(root["device"], cfg.device_id);
    cfg.device = root["device"];
    if (root.isMember("mqtt")) {
        c.object(root["mqtt"], "mqtt");
        cfg.mqtt = root["mqtt"];
        try {
            cfg.mqtt_config = ParseMqttConfig(cfg.mqtt, file_name, cfg.device_id);
        } catch (const MqttConfigError& e) {
            throw ConfigError(e.what());
        }
    }
    return cfg;
}

Config LoadConfigFile(const std::string& path, const Overrides& over) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw ConfigError(fmt::format("{}: (file): expected a readable file, found {}", path, std::strerror(errno)));
    std::ostringstream ss;
    ss << in.rdbuf();
    return ParseConfig(path, ss.str(), over);
}

Config DemoConfig(const std::string& port, const std::string& db) {
    Config cfg;
    cfg.file = "";
    cfg.port = port;
    cfg.db = db;
    Json::Value& d = cfg.device;
    d["data_id"] = 1;
    d["acSetting"][0]["data_id"] = 11;
    d["acSetting"][1]["data_id"] = 12;
    d["dcSetting"][0]["data_id"] = 21;
    d["dcSetting"][1]["data_id"] = 22;
    d["rcSetting"] = Json::Value(Json::objectValue);
    cfg.device_id = 1;
    return cfg;
}

}  // namespace monitor
