#pragma once
// Home Assistant discovery from the model catalogue, one device-based
// discovery config per Home Assistant device: the controller (its link as a
// connectivity sensor, the main device's alarms) and one device per unit,
// linked to the controller through via_device. A unit's device holds a
// sensor per numeric value (unit, device class, state class and display
// precision from the catalogue; states with texts as enum sensors) and a
// problem binary_sensor per alarm key, whose state topic the sink publishes.
// Keys are Home Assistant's abbreviations: the configs go out again whenever
// the broker has lost them, and the reference site has some 700 entities.

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "monitor/alarm_book.h"
#include "monitor/models/catalogue.h"

namespace monitor {

struct DiscoverySettings {
    std::string discovery_prefix;  // "homeassistant"
    std::string node;              // "m520s_<site>_<id>": topic level, device id, unique id prefix
    std::string prefix;            // the sink's topic prefix
    std::string controller_name;   // the controller device's name
    std::string version;           // this program's, for origin and sw_version
    uint32_t main_id = 1;

    std::string StatusTopic() const { return prefix + "/status"; }
    // "up" or "down": whether the controller answers.
    std::string LinkTopic() const { return prefix + "/link"; }
    std::string StateTopic(const std::string& device_type, uint32_t device) const;
    // {"state": "ON"|"OFF", "attributes": {...}} of one alarm key of a device.
    std::string AlarmTopic(const std::string& device_type, uint32_t device, const std::string& key) const;
    // Where the device config of a unit ("" for the controller) goes.
    std::string ConfigTopic(const std::string& device_type, uint32_t device) const;
    // What this node's configs and those of the single-component schema an
    // earlier version published match, for reading them back.
    std::vector<std::string> ConfigFilters(const std::string& old_node) const;
};

// Components of a device config: object id -> platform ("sensor").
using Components = std::map<std::string, std::string>;

struct DeviceConfig {
    std::string topic;
    std::string payload;
    Components components;
};

// removed: components published earlier that the device no longer has;
// they go out as platform-only stubs, which is how Home Assistant drops a
// component of a device.
DeviceConfig ControllerConfig(const DiscoverySettings& s, const model::Model& m, const std::string& model_text,
                              const Components& removed);
DeviceConfig UnitConfig(const DiscoverySettings& s, const model::Model& m, const std::string& model_text,
                        const UnitData& data, uint32_t device, const Components& removed);

// The components of a device config read back from the broker (none for a
// payload that is no device config).
Components ComponentsOf(const std::string& payload);

// The alarm keys a device of this type raises.
std::vector<const model::AlarmKey*> AlarmKeysOf(const model::Model& m, std::string_view device_type);
// The payload of an alarm key's state topic for the active alarms given.
std::string AlarmStatePayload(const std::vector<Alarm>& active, uint32_t device, const std::string& key);

// Home Assistant's device class for a unit of measurement ("" for none).
const char* DeviceClassOf(const std::string& unit);
// Only letters, digits, '_' and '-', as Home Assistant takes ids.
std::string HaId(const std::string& s);
// An entity id's object part: lower-case letters, digits and '_'.
std::string EntityObjectId(const std::string& s);

}  // namespace monitor
