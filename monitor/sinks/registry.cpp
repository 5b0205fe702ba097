#include "monitor/sinks/registry.h"

#include "monitor/sinks/json_lines.h"
#include "monitor/sinks/live_view.h"
#include "monitor/sinks/mqtt.h"

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
    // A broker that is down is no reason not to start: the publisher keeps trying.
    return c.config.mqtt_config ? std::make_unique<MqttPublisher>(*c.config.mqtt_config) : nullptr;
}

}  // namespace

const std::vector<SinkEntry>& SinkRegistry() {
    static const std::vector<SinkEntry> all = {
        {"json", nullptr, json_lines},
        {"live view", nullptr, live_view},
        {"mqtt", "mqtt", mqtt},
    };
    return all;
}

}  // namespace monitor
