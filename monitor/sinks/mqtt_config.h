#pragma once
// The config's "mqtt" object, checked, with its defaults.

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>

#include <json/json.h>

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
};

// A config mistake, already worded as the one line the program prints:
// "<file>: mqtt.<key>: expected ..., found ...".
class MqttConfigError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Checks the config's "mqtt" object and fills in the defaults that depend on
// the main device id. `file` is the config file name as the user gave it.
MqttConfig ParseMqttConfig(const Json::Value& mqtt, const std::string& file, uint32_t device_id);

}  // namespace monitor
