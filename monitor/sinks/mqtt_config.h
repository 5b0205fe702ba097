#pragma once
// The "mqtt" section of the monitor's config: what the MQTT sink needs, checked.

#include <cstdint>
#include <optional>
#include <string>

#include <json/json.h>

#include "common/json_check.h"

namespace monitor {

struct MqttTls {
    std::string ca_file;
    std::string cert_file;  // empty: no client certificate
    std::string key_file;
};

struct MqttConfig {
    std::string host;
    int port = 1883;
    std::string client_id;
    std::string prefix;
    std::optional<std::string> username;
    std::optional<std::string> password;
    std::optional<MqttTls> tls;
    std::string discovery_prefix = "homeassistant";  // empty: no discovery
    int keepalive_s = 30;
    uint32_t device_id = 1;  // the main device, for defaults and the HA device
    std::string site = "site";  // the config's "site": in Home Assistant's ids
};

// Checks the config's "mqtt" section and fills in the defaults that depend
// on the site and the main device id: client id `m520s-<site>-<id>`, prefix
// `m520s/<site>/<id>`. Throws common::JsonError.
MqttConfig ParseMqttConfig(const Json::Value& mqtt, const common::JsonChecker& c, uint32_t device_id,
                           const std::string& site);

}  // namespace monitor
