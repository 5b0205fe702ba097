#pragma once
// The catalogue as a site has it: every value of every unit under its field
// path ("11.channels[0].a", "1.modules[2].module_value", "21.user_p[0]"),
// with its English label. The same paths serve history queries, the HTTP
// API, metrics and MQTT value templates.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "monitor/models/model.h"
#include "monitor/models/unit_data.h"

namespace monitor {

struct FieldEntry {
    std::string path;                // "11.channels[0].a"
    std::vector<std::string> steps;  // inside "values": {"channels", "0", "a"}
    uint32_t device = 0;
    const model::UnitKind* kind = nullptr;
    const model::Field* field = nullptr;
    int item = -1;       // -1: the head record
    size_t element = 0;  // position in a list field
    std::string label;   // "AC panel 11, channel 1, phase A voltage"
};

// Every numeric value of a unit, lists up to what the controller filled;
// with data null, every position of every list of a unit with `items`
// channels or modules.
std::vector<FieldEntry> UnitFields(const model::UnitKind& kind, uint32_t device, const UnitData* data,
                                   size_t items = 0);

// A path taken apart; nullopt when it names no field of that kind.
struct PathParts {
    uint32_t device = 0;
    std::string rest;  // after the device: "channels[0].a"
};
std::optional<PathParts> SplitPath(std::string_view path);
std::optional<FieldEntry> ResolvePath(const model::UnitKind& kind, uint32_t device, std::string_view rest);

}  // namespace monitor
