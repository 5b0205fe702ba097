#pragma once
// Home Assistant discovery from the model catalogue: one sensor config per
// numeric value of a unit, with its label, unit, device class, state class
// and display precision, reading its value from the unit's state topic.

#include <string>
#include <vector>

#include "monitor/models/catalogue.h"

namespace monitor {

struct DiscoverySettings {
    std::string discovery_prefix;  // "homeassistant"
    std::string node_id;           // the client id as a topic level
    std::string unique_prefix;     // before every unique id
    std::string status_topic;
    std::string device_id;    // identifiers of the Home Assistant device
    std::string device_name;  // "m520s 1"
};

struct DiscoveryMessage {
    std::string object;  // the object id, a topic level
    std::string topic;
    std::string payload;
};

// Home Assistant's device class for a unit of measurement ("" for none).
const char* DeviceClassOf(const std::string& unit);
// Only letters, digits, '_' and '-', as Home Assistant takes ids.
std::string HaId(const std::string& s);

std::vector<DiscoveryMessage> UnitDiscovery(const DiscoverySettings& s, const std::string& model_text,
                                            const std::string& device_type, const std::vector<FieldEntry>& fields,
                                            const std::string& state_topic);

}  // namespace monitor
