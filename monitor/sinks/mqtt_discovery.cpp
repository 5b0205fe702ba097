#include "monitor/sinks/mqtt_discovery.h"

#include <algorithm>
#include <cctype>
#include <memory>

#include <json/json.h>

#include "monitor/json_out.h"

namespace monitor {

std::string DiscoverySettings::StateTopic(const std::string& device_type, uint32_t device) const {
    return prefix + "/" + device_type + "/" + std::to_string(device) + "/state";
}

std::string DiscoverySettings::AlarmTopic(const std::string& device_type, uint32_t device,
                                          const std::string& key) const {
    return prefix + "/" + device_type + "/" + std::to_string(device) + "/alarm/" + key;
}

std::string DiscoverySettings::ConfigTopic(const std::string& device_type, uint32_t device) const {
    const std::string object = device_type.empty() ? "controller" : HaId(device_type + "_" + std::to_string(device));
    return discovery_prefix + "/device/" + node + "/" + object + "/config";
}

std::vector<std::string> DiscoverySettings::ConfigFilters(const std::string& old_node) const {
    std::vector<std::string> out{discovery_prefix + "/device/" + node + "/+/config"};
    if (!old_node.empty() && old_node != node) out.push_back(discovery_prefix + "/+/" + old_node + "/+/config");
    return out;
}

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

std::string EntityObjectId(const std::string& s) {
    std::string out = s;
    for (char& ch : out) {
        const auto c = static_cast<unsigned char>(ch);
        ch = std::isalnum(c) && c < 0x80 ? static_cast<char>(std::tolower(c)) : '_';
    }
    return out;
}

namespace {

bool is_index(const std::string& s) {
    return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// The value's path in the state's JSON as a template expression. Attribute
// syntax where it is safe; a subscript where a name is also a dict method
// (value_json.values would be the method).
std::string value_path(const FieldEntry& e) {
    static const char* const methods[] = {"values", "keys", "items", "get", "pop", "update", "copy", "clear"};
    std::string p = "value_json['values']";
    for (const auto& step : e.steps) {
        const bool method = std::find(std::begin(methods), std::end(methods), step) != std::end(methods);
        p += is_index(step) ? "[" + step + "]" : method ? "['" + step + "']" : "." + step;
    }
    return p;
}

std::string quoted(const char* text) {
    std::string out = "'";
    for (const char* c = text; *c; ++c) out += *c == '\'' ? std::string("\\'") : std::string(1, *c);
    return out + "'";
}

// A state's texts as an enum: 0 is "normal" unless the catalogue says
// otherwise, a value the catalogue does not know is "other".
void enum_options(JsonOut& o, const model::Field& f, const std::string& path) {
    std::vector<std::pair<int, std::string>> opts;
    if (std::none_of(f.states.begin(), f.states.end(), [](const model::StateText& t) { return t.value == 0; }))
        opts.push_back({0, "'normal'"});
    for (const auto& t : f.states) opts.push_back({t.value, quoted(t.en)});
    std::string map = "{";
    o.Key("ops").List();
    for (const auto& [v, text] : opts) {
        if (map.size() > 1) map += ",";
        map += std::to_string(v) + ":" + text;
        o.Str(text.substr(1, text.size() - 2));
    }
    o.Str("other").EndList();
    o.Field("val_tpl", "{{" + map + "}.get(" + path + ",'other')}}");
}

// A component's key is unique within its device; its unique id adds the
// node and the device id (unique within a site).
std::string unique_id(const DiscoverySettings& s, uint32_t device, const std::string& object) {
    return s.node + "_" + std::to_string(device) + "_" + object;
}

void field_component(JsonOut& o, const DiscoverySettings& s, const FieldEntry& e, const std::string& object,
                     const std::string& unit_label) {
    const model::Field& f = *e.field;
    o.Key(object).Begin().Field("p", "sensor");
    // The device carries the unit's name; the entity names the value.
    std::string name = e.label;
    if (name.rfind(unit_label + ", ", 0) == 0) name.erase(0, unit_label.size() + 2);
    const std::string id = unique_id(s, e.device, object);
    o.Field("name", name).Field("uniq_id", id).Field("def_ent_id", "sensor." + EntityObjectId(id));
    if (f.kind == model::Kind::State && !f.states.empty()) {
        o.Field("dev_cla", "enum");
        enum_options(o, f, value_path(e));
        o.End();
        return;
    }
    if (const char* dc = DeviceClassOf(f.unit); *dc) o.Field("dev_cla", dc);
    if (*f.unit) o.Field("unit_of_meas", f.unit);
    // A state byte or a count is a category, not a quantity to chart.
    if (f.kind == model::Kind::Measurement || f.kind == model::Kind::Parameter) o.Field("stat_cla", "measurement");
    if (f.kind == model::Kind::Count || f.kind == model::Kind::Parameter) o.Field("ent_cat", "diagnostic");
    if (f.scalar == model::Scalar::F32) o.Field("sug_dsp_prc", int64_t{f.precision});
    o.Field("val_tpl", "{{" + value_path(e) + "}}");
    o.End();
}

std::string without_number(std::string label) {
    for (const char* n : {" {n}", "{n} ", "{n}"})
        for (size_t at; (at = label.find(n)) != std::string::npos;) label.erase(at, std::string_view(n).size());
    return label;
}

std::string alarm_object(const model::AlarmKey& k) { return HaId("alarm_" + std::string(k.key)); }

// The controller's own components have ids without a device: its id is the
// rectifier group's too.
void alarm_components(JsonOut& o, const DiscoverySettings& s, const model::Model& m, const std::string& device_type,
                      uint32_t device, bool controller, Components& components) {
    for (const model::AlarmKey* k : AlarmKeysOf(m, device_type)) {
        const std::string object = alarm_object(*k);
        const std::string topic = s.AlarmTopic(device_type, device, k->key);
        const std::string id = controller ? s.node + "_" + object : unique_id(s, device, object);
        o.Key(object).Begin().Field("p", "binary_sensor").Field("name", without_number(k->label));
        o.Field("uniq_id", id).Field("def_ent_id", "binary_sensor." + EntityObjectId(id));
        o.Field("dev_cla", "problem").Field("stat_t", topic).Field("val_tpl", "{{value_json.state}}");
        o.Field("json_attr_t", topic).Field("json_attr_tpl", "{{value_json.attributes|tojson}}");
        o.End();
        components[object] = "binary_sensor";
    }
}

void removed_stubs(JsonOut& o, const Components& removed, const Components& now) {
    for (const auto& [object, platform] : removed)
        if (!now.count(object)) o.Key(object).Begin().Field("p", platform).End();
}

void origin(JsonOut& o, const DiscoverySettings& s) {
    o.Key("o").Begin().Field("name", "m520s-monitor").Field("sw", s.version).End();
}

}  // namespace

Components ComponentsOf(const std::string& payload) {
    Json::Value v;
    Json::CharReaderBuilder b;
    std::string errors;
    const std::unique_ptr<Json::CharReader> r(b.newCharReader());
    Components out;
    if (!r->parse(payload.data(), payload.data() + payload.size(), &v, &errors) || !v.isObject()) return out;
    const Json::Value& cmps = v["cmps"];
    if (!cmps.isObject()) return out;
    for (const auto& name : cmps.getMemberNames())
        if (cmps[name].isObject() && cmps[name]["p"].isString()) out[name] = cmps[name]["p"].asString();
    return out;
}

std::vector<const model::AlarmKey*> AlarmKeysOf(const model::Model& m, std::string_view device_type) {
    std::vector<const model::AlarmKey*> out;
    for (const auto& k : m.AlarmKeys())
        if (k.device_type && device_type == k.device_type) out.push_back(&k);
    return out;
}

std::string AlarmStatePayload(const std::vector<Alarm>& active, uint32_t device, const std::string& key) {
    std::vector<const Alarm*> on;
    for (const auto& a : active)
        if (a.device == device && a.key == key) on.push_back(&a);
    std::string out;
    JsonOut o(out);
    o.Begin().Key("attributes").Begin();
    if (!on.empty()) {
        // Instances differ by detail (a channel, a module): all of them, the earliest since.
        std::string detail, since = on.front()->since;
        for (const Alarm* a : on) {
            detail += (detail.empty() ? "" : "; ") + a->detail;
            since = std::min(since, a->since);
        }
        o.Field("count", uint64_t{on.size()}).Field("detail", detail).Field("level", int64_t{on.front()->level});
        o.Field("since", since);
    }
    o.End().Field("state", on.empty() ? "OFF" : "ON").End();
    return out;
}

DeviceConfig ControllerConfig(const DiscoverySettings& s, const model::Model& m, const std::string& model_text,
                              const Components& removed) {
    DeviceConfig c;
    c.topic = s.ConfigTopic("", 0);
    JsonOut o(c.payload);
    // Available while the program is: the link sensor must show a lost link.
    o.Begin().Field("avty_t", s.StatusTopic()).Key("cmps").Begin();
    o.Key("link").Begin().Field("p", "binary_sensor").Field("name", "controller link");
    o.Field("uniq_id", s.node + "_link").Field("def_ent_id", "binary_sensor." + EntityObjectId(s.node + "_link"));
    o.Field("dev_cla", "connectivity").Field("stat_t", s.LinkTopic()).Field("pl_on", "up").Field("pl_off", "down");
    o.End();
    c.components["link"] = "binary_sensor";
    alarm_components(o, s, m, std::string(m.MainDeviceType()), s.main_id, true, c.components);
    removed_stubs(o, removed, c.components);
    o.End();
    o.Key("dev").Begin().Key("ids").List().Str(s.node).EndList().Field("name", s.controller_name);
    if (!model_text.empty()) o.Field("mdl", model_text);
    o.Field("sw", s.version).End();
    origin(o, s);
    o.Field("qos", int64_t{1}).End();
    return c;
}

DeviceConfig UnitConfig(const DiscoverySettings& s, const model::Model& m, const std::string& model_text,
                        const UnitData& data, uint32_t device, const Components& removed) {
    const model::UnitKind& kind = data.Kind();
    const std::string type = kind.device_type;
    const std::string unit_label = model::FillLabel(kind.label, device, 0);
    DeviceConfig c;
    c.topic = s.ConfigTopic(type, device);
    JsonOut o(c.payload);
    // Values are worth showing only while the program runs and the controller answers.
    o.Begin().Key("avty").List();
    o.Begin().Field("t", s.StatusTopic()).End();
    o.Begin().Field("t", s.LinkTopic()).Field("pl_avail", "up").Field("pl_not_avail", "down").End();
    o.EndList().Field("avty_mode", "all").Key("cmps").Begin();
    for (const auto& e : UnitFields(kind, device, &data)) {
        // The device id is the unit's identity, not a reading.
        if (e.field->kind == model::Kind::Id) continue;
        std::string object;
        for (const auto& p : e.steps) object += (object.empty() ? "" : "_") + p;
        object = HaId(object);
        field_component(o, s, e, object, unit_label);
        c.components[object] = "sensor";
    }
    alarm_components(o, s, m, type, device, false, c.components);
    removed_stubs(o, removed, c.components);
    o.End();
    o.Key("dev").Begin().Key("ids").List().Str(s.node + "_" + HaId(type + "_" + std::to_string(device))).EndList();
    o.Field("name", unit_label);
    if (!model_text.empty()) o.Field("mdl", model_text + " " + kind.short_name);
    o.Field("sw", s.version).Field("via_device", s.node).End();
    origin(o, s);
    o.Field("qos", int64_t{1}).Field("stat_t", s.StateTopic(type, device)).End();
    return c;
}

}  // namespace monitor
