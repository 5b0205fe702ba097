#include "monitor/config.h"

#include <unistd.h>

#include <algorithm>
#include <climits>
#include <map>
#include <vector>

#include <fmt/format.h>

#include "monitor/models/model.h"

namespace monitor {

namespace {

// The main device's 2 s poll guard: a stall limit below it plus one time-out
// would restart cycles that are merely waiting.
constexpr int64_t kGuardMs = 2000;
constexpr size_t kMaxSite = 64;

using common::JsonChecker;

void CheckUnit(const JsonChecker& c, const Json::Value& el, const std::string& path,
               std::map<uint32_t, std::string>& seen) {
    c.Object(el, path, {"data_id", "appSetting"});
    const std::string id_path = path + ".data_id";
    const uint32_t id = c.Id(c.Require(el, path, "data_id", "an unsigned integer"), id_path);
    auto [it, fresh] = seen.emplace(id, id_path);
    if (!fresh) c.FailFound(id_path, "an id no other device has", fmt::format("{} (also {})", id, it->second));
    if (!el.isMember("appSetting")) return;
    const Json::Value& app = el["appSetting"];
    const std::string app_path = path + ".appSetting";
    c.Object(app, app_path, {"diff_v", "diff_i"});
    // The units read these with asString() and atof(); a text that holds no
    // number would silently become 0.
    for (const char* k : {"diff_v", "diff_i"})
        if (app.isMember(k)) c.NumberOrText(app[k], app_path + "." + k);
}

// The frame layer's keys of the main device's settings.
void CheckFrameLayer(const JsonChecker& c, const Json::Value& dev) {
    if (dev.isMember("address")) c.Integer(dev["address"], "device.address", 0, 255);
    int64_t timeout = 1500;
    if (dev.isMember("timeout_ms")) timeout = c.Integer(dev["timeout_ms"], "device.timeout_ms", 1, 600000);
    if (dev.isMember("retries")) c.Integer(dev["retries"], "device.retries", 0, 100);
    if (dev.isMember("stall_ms")) {
        const int64_t lo = kGuardMs + timeout;
        c.Integer(dev["stall_ms"], "device.stall_ms", lo, 3600000,
                  fmt::format("an integer from {} (2000 + timeout_ms) to 3600000", lo));
    }
    if (dev.isMember("frame_gap_ms")) c.Integer(dev["frame_gap_ms"], "device.frame_gap_ms", 1, 600000);
}

// Returns the main device's id.
uint32_t CheckDevice(const JsonChecker& c, const Json::Value& dev) {
    c.Object(dev, "device",
             {"data_id", "acSetting", "dcSetting", "rcSetting", "address", "timeout_ms", "retries", "stall_ms",
              "frame_gap_ms"});
    const uint32_t main_id = dev.isMember("data_id") ? c.Id(dev["data_id"], "device.data_id") : 1;
    std::map<uint32_t, std::string> seen;
    // The rectifier group carries the main device's id.
    seen.emplace(main_id, "device.data_id");
    for (const char* group : {"acSetting", "dcSetting"}) {
        if (!dev.isMember(group)) continue;
        const std::string path = std::string("device.") + group;
        const Json::Value& list = c.Array(dev[group], path, "an array of objects");
        for (Json::ArrayIndex i = 0; i < list.size(); ++i) CheckUnit(c, list[i], common::Element(path, i), seen);
    }
    // Without it the driver refuses the whole settings object.
    c.Object(c.Require(dev, "device", "rcSetting", "an object"), "device.rcSetting", common::Keys{});
    CheckFrameLayer(c, dev);
    return main_id;
}

// "history": each age at least the finer one's, so the roll-ups that find
// raw rows outlive them.
Retention CheckHistory(const JsonChecker& c, const Json::Value& h) {
    c.Object(h, "history", {"raw_days", "minute_days", "hour_days", "max_mb", "commit_s"});
    Retention r;
    if (h.isMember("raw_days"))
        r.raw_days = static_cast<unsigned>(c.Integer(h["raw_days"], "history.raw_days", 1, 3650));
    if (h.isMember("minute_days"))
        r.minute_days = static_cast<unsigned>(
            c.Integer(h["minute_days"], "history.minute_days", r.raw_days, 3650,
                      fmt::format("an integer from {} (history.raw_days) to 3650", r.raw_days)));
    else
        r.minute_days = std::max(r.minute_days, r.raw_days);
    if (h.isMember("hour_days"))
        r.hour_days = static_cast<unsigned>(
            c.Integer(h["hour_days"], "history.hour_days", r.minute_days, 36500,
                      fmt::format("an integer from {} (history.minute_days) to 36500", r.minute_days)));
    else
        r.hour_days = std::max(r.hour_days, r.minute_days);
    if (h.isMember("max_mb")) r.max_mb = static_cast<uint64_t>(c.Integer(h["max_mb"], "history.max_mb", 16, 1 << 20));
    if (h.isMember("commit_s"))
        r.commit_s = static_cast<unsigned>(c.Integer(h["commit_s"], "history.commit_s", 0, 300));
    return r;
}

// Everything at the top level but "device" and the sections.
void CheckTop(const JsonChecker& c, const Json::Value& root, const Overrides& over, Config& cfg) {
    if (!over.port.empty())
        cfg.port = over.port;
    else
        cfg.port = c.Text(c.Require(root, "", "port", "a text (or --port)"), "port");
    if (root.isMember("plugin")) cfg.plugin = c.Text(root["plugin"], "plugin");
    if (!over.plugin.empty()) cfg.plugin = over.plugin;
    if (root.isMember("db")) cfg.db = c.Text(root["db"], "db");
    if (!over.db.empty()) cfg.db = over.db;
    if (root.isMember("poll_ms")) cfg.poll_ms = static_cast<unsigned>(c.Integer(root["poll_ms"], "poll_ms", 10, 60000));
    if (root.isMember("model")) {
        const std::vector<std::string_view> models = model::ModelNames();
        cfg.model = c.OneOf(root["model"], "model", models, "a model this program knows");
    }
    if (root.isMember("language")) cfg.language = c.OneOf(root["language"], "language", {"en", "zh"});
    if (root.isMember("site")) cfg.site = c.Token(root["site"], "site", kMaxSite);
    if (root.isMember("log_level"))
        cfg.log_level = c.OneOf(root["log_level"], "log_level", {"debug", "info", "warning", "error"});
}

}  // namespace

std::string DefaultSite() {
    char name[HOST_NAME_MAX + 1] = {};
    if (::gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return "localhost";
    std::string site(name);
    for (char& ch : site)
        if (!((ch >= 'A' && ch <= 'Z') || (ch >= 'a' && ch <= 'z') || (ch >= '0' && ch <= '9') || ch == '-'))
            ch = '_';
    return site.substr(0, kMaxSite);
}

Config ParseConfig(const std::string& file_name, const std::string& text, const Overrides& over) {
    return ParseConfig(file_name, text, over, BuiltInSections());
}

Config ParseConfig(const std::string& file_name, const std::string& text, const Overrides& over,
                   std::span<const SectionCheck> sections) {
    const Json::Value root = common::ParseDocument(file_name, text);
    const JsonChecker c(file_name);
    std::vector<std::string_view> keys{"port", "plugin", "db", "poll_ms", "device", "model", "language", "site",
                                       "log_level", "history"};
    for (const auto& s : sections) keys.push_back(s.key);
    c.Object(root, "", keys);

    Config cfg;
    cfg.file = file_name;
    CheckTop(c, root, over, cfg);
    cfg.device_id = CheckDevice(c, c.Require(root, "", "device", "an object"));
    cfg.device = root["device"];
    if (root.isMember("history")) cfg.history = CheckHistory(c, root["history"]);
    for (const auto& s : sections)
        if (root.isMember(s.key)) cfg.sections[s.key] = s.check(root[s.key], c, cfg);
    return cfg;
}

Config LoadConfigFile(const std::string& path, const Overrides& over) {
    return LoadConfigFile(path, over, BuiltInSections());
}

Config LoadConfigFile(const std::string& path, const Overrides& over, std::span<const SectionCheck> sections) {
    return ParseConfig(path, common::ReadDocumentFile(path), over, sections);
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
