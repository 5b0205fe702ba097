#pragma once
// The monitor's config file. Everything is checked before anything is opened,
// so the driver never sees settings the program already knows to be wrong.

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>

#include <json/json.h>

#include "monitor/sinks/mqtt_config.h"

namespace monitor {

// One line naming the file, the key path, what was expected and what was
// found: `site.json: device.acSetting[1].data_id: expected an unsigned
// integer, found "x"`.
class ConfigError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct Config {
    std::string file;  // as given; "" for the built-in demo config
    std::string port;
    std::string plugin;  // "" = beside the program
    std::string db = "m520s.db";
    unsigned poll_ms = 500;
    uint32_t device_id = 1;
    Json::Value device{Json::objectValue};  // handed to the driver as it stands
    std::string model = "M520S";
    std::string language = "en";
    std::string site;
    std::string log_level = "info";
    Json::Value mqtt;                       // null when absent
    std::optional<MqttConfig> mqtt_config;  // the checked "mqtt", with its defaults
};

// Overrides from the command line, applied before the check so a config
// without "port" passes when --port is given.
struct Overrides {
    std::string port, db, plugin;
};

// Parses and checks. Throws ConfigError.
Config ParseConfig(const std::string& file_name, const std::string& text, const Overrides& over);
Config LoadConfigFile(const std::string& path, const Overrides& over);
// The reference site of the simulator: main device 1, AC panels 11 and 12,
// DC panels 21 and 22, the rectifier group.
Config DemoConfig(const std::string& port, const std::string& db);

// A value as a config message shows it: texts quoted, short JSON otherwise.
std::string DescribeFound(const Json::Value& v);

}  // namespace monitor
