#pragma once
// The monitor's config file. Everything is checked before anything is opened,
// so the driver never sees settings the program already knows to be wrong.

#include <any>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <span>
#include <string>

#include <json/json.h>

#include "common/json_check.h"
#include "monitor/retention.h"

namespace monitor {

// One line naming the file, the key path, what was expected and what was
// found: `site.json: device.acSetting[1].data_id: expected an unsigned
// integer, found "x"`.
using ConfigError = common::JsonError;

struct Config;

// A top-level section a sink plugs in: its key, and the check that turns the
// section (present in the file) into what the sink needs, stored in
// Config::sections. `so_far` holds every other top-level key, checked.
struct SectionCheck {
    std::string key;
    std::function<std::any(const Json::Value& section, const common::JsonChecker& c, const Config& so_far)> check;
};

// This machine's host name as a "site": characters other than A-Z, a-z,
// 0-9, '_' and '-' replaced by '_', at most 64.
std::string DefaultSite();

struct Config {
    std::string file;  // as given; "" for the built-in demo config
    std::string port;
    std::string plugin;  // "" = beside the program
    std::string db = "m520s.db";
    unsigned poll_ms = 500;
    uint32_t device_id = 1;
    Json::Value device{Json::objectValue};  // handed to the driver as it stands
    std::string model = "M520S";
    std::string language = "en";   // "en" or "zh": what views show first
    std::string site = DefaultSite();  // in MQTT client ids, topics and unique ids
    std::string log_level = "info";    // "debug", "info", "warning" or "error"
    Retention history;                 // how long history is kept, how large the file grows
    std::map<std::string, std::any> sections;  // checked sink sections, by key
};

// Overrides from the command line, applied before the check so a config
// without "port" passes when --port is given.
struct Overrides {
    std::string port, db, plugin;
};

// The sections of the sinks this program has (the sink registry's); what
// the overloads without sections check.
std::span<const SectionCheck> BuiltInSections();

// Parses and checks. Throws ConfigError.
Config ParseConfig(const std::string& file_name, const std::string& text, const Overrides& over);
Config ParseConfig(const std::string& file_name, const std::string& text, const Overrides& over,
                   std::span<const SectionCheck> sections);
// Reads only a regular file of at most 1 MB.
Config LoadConfigFile(const std::string& path, const Overrides& over);
Config LoadConfigFile(const std::string& path, const Overrides& over, std::span<const SectionCheck> sections);
// The reference site of the simulator: main device 1, AC panels 11 and 12,
// DC panels 21 and 22, the rectifier group.
Config DemoConfig(const std::string& port, const std::string& db);

// A value as a config message shows it: texts quoted, short JSON otherwise.
inline std::string DescribeFound(const Json::Value& v) { return common::Describe(v); }

}  // namespace monitor
