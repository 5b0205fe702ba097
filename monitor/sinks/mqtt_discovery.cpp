#include "monitor/sinks/mqtt_discovery.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "monitor/json_out.h"

namespace monitor {

const char* DeviceClassOf(const std::string& unit) {
    static const struct {
        const char* unit;
        const char* device_class;
    } classes[] = {{"V", "voltage"}, {"A", "current"}, {"Hz", "frequency"}, {"°C", "temperature"},
                   {"W", "power"},   {"s", "duration"}};
    for (const auto& c : classes)
        if (unit == c.unit) return c.device_class;
    return "";
}

std::string HaId(const std::string& s) {
    std::string out = s;
    for (char& ch : out)
        if (!(std::isalnum(static_cast<unsigned char>(ch)) || ch == '_' || ch == '-')) ch = '_';
    return out;
}

namespace {

bool is_index(const std::string& s) {
    return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::string payload(const DiscoverySettings& s, const std::string& model_text, const FieldEntry& e,
                    const std::string& object, const std::string& state_topic) {
    std::string tmpl = "{{ value_json['values']";
    // Subscripts throughout: value_json.values would be the dict method.
    for (const auto& p : e.steps) tmpl += is_index(p) ? "[" + p + "]" : "['" + p + "']";
    tmpl += " }}";
    const model::Field& f = *e.field;
    std::string out;
    JsonOut o(out);
    o.Begin();
    o.Field("availability_topic", s.status_topic);
    o.Field("default_entity_id", "sensor." + HaId(s.unique_prefix + "_" + object));
    o.Key("device").Begin().Key("identifiers").List().Str(s.device_id).EndList();
    if (!model_text.empty()) o.Field("model", model_text);
    o.Field("name", s.device_name).End();
    const std::string unit = f.unit;
    if (const char* dc = DeviceClassOf(unit); *dc) o.Field("device_class", dc);
    o.Field("name", e.label);
    o.Field("payload_available", "online").Field("payload_not_available", "offline");
    // A state byte is a category, not a quantity to chart.
    if (f.kind != model::Kind::State && f.kind != model::Kind::Id) o.Field("state_class", "measurement");
    o.Field("state_topic", state_topic);
    if (f.scalar == model::Scalar::F32) o.Field("suggested_display_precision", int64_t{f.precision});
    o.Field("unique_id", s.unique_prefix + "_" + object);
    if (!unit.empty()) o.Field("unit_of_measurement", unit);
    o.Field("value_template", tmpl);
    o.End();
    return out;
}

}  // namespace

std::vector<DiscoveryMessage> UnitDiscovery(const DiscoverySettings& s, const std::string& model_text,
                                            const std::string& device_type, const std::vector<FieldEntry>& fields,
                                            const std::string& state_topic) {
    std::vector<DiscoveryMessage> out;
    if (s.discovery_prefix.empty()) return out;
    for (const auto& e : fields) {
        // The device id is the unit's identity, not a reading.
        if (e.field->kind == model::Kind::Id) continue;
        std::string object = device_type + "_" + std::to_string(e.device);
        for (const auto& p : e.steps) object += "_" + p;
        object = HaId(object);
        out.push_back({object, s.discovery_prefix + "/sensor/" + s.node_id + "/" + object + "/config",
                       payload(s, model_text, e, object, state_topic)});
    }
    return out;
}

}  // namespace monitor
