#include "monitor/sinks/registry.h"

#include "monitor/sinks/http.h"
#include "monitor/sinks/http_config.h"
#include "monitor/sinks/json_lines.h"
#include "monitor/sinks/live_view.h"
#include "monitor/sinks/mqtt.h"
#include "monitor/sinks/mqtt_config.h"

namespace monitor {

namespace {

std::unique_ptr<Sink> json_lines(const SinkContext& c) {
    return c.json ? std::make_unique<JsonLines>(c.out_fd) : nullptr;
}

std::unique_ptr<Sink> live_view(const SinkContext& c) {
    if (c.json) return nullptr;
    LiveViewOptions o;
    o.language = c.config.language;
    o.debug = c.config.log_level == "debug";
    return std::make_unique<LiveView>(c.out_fd, c.port, o);
}

std::unique_ptr<Sink> mqtt(const SinkContext& c) {
    const auto it = c.config.sections.find("mqtt");
    if (it == c.config.sections.end()) return nullptr;
    // A broker that is down is no reason not to start: the publisher keeps trying.
    return std::make_unique<MqttPublisher>(std::any_cast<MqttConfig>(it->second));
}

SectionCheck mqtt_section() {
    return {"mqtt", [](const Json::Value& section, const common::JsonChecker& c, const Config& so_far) -> std::any {
                return ParseMqttConfig(section, c, so_far.device_id, so_far.site);
            }};
}

std::unique_ptr<Sink> http(const SinkContext& c) {
    const auto it = c.config.sections.find("http");
    if (it == c.config.sections.end() && !c.demo) return nullptr;
    HttpConfig h = it != c.config.sections.end() ? std::any_cast<HttpConfig>(it->second)
                                                 : DemoHttpConfig(c.config.language);
    return std::make_unique<HttpServer>(std::move(h), c.model, c.config.db, c.emit);
}

SectionCheck http_section() {
    return {"http", [](const Json::Value& section, const common::JsonChecker& c, const Config& so_far) -> std::any {
                return ParseHttpConfig(section, c, so_far.language);
            }};
}

}  // namespace

const std::vector<SinkEntry>& SinkRegistry() {
    static const std::vector<SinkEntry> all = {
        {"json", std::nullopt, json_lines},
        {"live view", std::nullopt, live_view},
        {"mqtt", mqtt_section(), mqtt},
        {"http", http_section(), http},
    };
    return all;
}

std::span<const SectionCheck> BuiltInSections() {
    static const std::vector<SectionCheck> sections = [] {
        std::vector<SectionCheck> out;
        for (const auto& e : SinkRegistry())
            if (e.section) out.push_back(*e.section);
        return out;
    }();
    return sections;
}

}  // namespace monitor
