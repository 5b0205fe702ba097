#pragma once
// Home Assistant's side of discovery, as far as the tests need it: which
// units each sensor device class accepts, and the templates the monitor
// writes evaluated against a state the way Home Assistant would.

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <regex>
#include <set>
#include <string>

#include <json/json.h>

namespace mqtt_test {

// Sensor device classes and the units of measurement Home Assistant accepts
// for them (its sensor integration's device class table); a sensor with a
// class and another unit is refused. "enum" takes no unit and needs options.
inline const std::map<std::string, std::set<std::string>>& DeviceClassUnits() {
    static const std::map<std::string, std::set<std::string>> table = {
        {"apparent_power", {"mVA", "VA", "kVA"}},
        {"battery", {"%"}},
        {"current", {"A", "mA"}},
        {"duration", {"d", "h", "min", "s", "ms", "µs"}},
        {"energy", {"J", "kJ", "MJ", "GJ", "mWh", "Wh", "kWh", "MWh", "GWh", "TWh", "cal", "kcal", "Mcal", "Gcal"}},
        {"frequency", {"Hz", "kHz", "MHz", "GHz"}},
        {"humidity", {"%"}},
        {"power", {"mW", "W", "kW", "MW", "GW", "TW", "BTU/h"}},
        {"power_factor", {"%", ""}},
        {"reactive_power", {"mvar", "var", "kvar"}},
        {"temperature", {"°C", "°F", "K"}},
        {"voltage", {"µV", "mV", "V", "kV", "MV"}},
    };
    return table;
}

// The value a path such as value_json['values'].channels[0].a names.
inline Json::Value FollowPath(const std::string& path, Json::Value v) {
    static const std::regex step(R"(\['([^']*)'\]|\[(\d+)\]|\.(\w+))");
    if (path.rfind("value_json", 0) != 0) return "bad path";
    const std::string rest = path.substr(10);
    size_t covered = 0;
    for (std::sregex_iterator it(rest.begin(), rest.end(), step), end; it != end; ++it) {
        if (static_cast<size_t>(it->position()) != covered) return "bad path";
        covered += it->length();
        if ((*it)[2].matched)
            v = v.isArray() ? v.get(std::stoi((*it)[2]), Json::Value()) : Json::Value();
        else
            v = v.isObject() ? v.get((*it)[1].matched ? (*it)[1].str() : (*it)[3].str(), Json::Value()) : Json::Value();
    }
    return covered == rest.size() ? v : Json::Value("bad path");
}

// {{PATH}}, or an enum's {{{0:'normal',1:'too low'}.get(PATH,'other')}}.
inline Json::Value Evaluate(const std::string& tmpl, const Json::Value& state) {
    static const std::regex plain(R"(\{\{(value_json[^{}]*)\}\})");
    static const std::regex mapped(R"(\{\{\{([^}]*)\}\.get\((value_json[^,]*),'([^']*)'\)\}\})");
    static const std::regex entry(R"((\d+):'([^']*)')");
    std::smatch m;
    if (std::regex_match(tmpl, m, plain)) return FollowPath(m[1], state);
    if (!std::regex_match(tmpl, m, mapped)) return "bad template";
    const Json::Value raw = FollowPath(m[2], state);
    const std::string table = m[1];
    for (std::sregex_iterator it(table.begin(), table.end(), entry), end; it != end; ++it)
        if (raw.isIntegral() && raw.asInt() == std::stoi((*it)[1])) return (*it)[2].str();
    return m[3].str();
}

// Checks one component of a device config against Home Assistant's rules
// and the state it reads; `state_of` gives the retained payload of a topic.
inline void CheckComponent(const std::string& object, const Json::Value& c, const Json::Value& device_config,
                           const std::function<Json::Value(const std::string&)>& state_of) {
    SCOPED_TRACE(object);
    const std::string platform = c["p"].asString();
    ASSERT_TRUE(platform == "sensor" || platform == "binary_sensor");
    EXPECT_FALSE(c.isMember("object_id"));
    EXPECT_FALSE(c["name"].asString().empty());
    EXPECT_EQ(c["def_ent_id"].asString().rfind(platform + ".", 0), 0u);
    EXPECT_TRUE(std::regex_match(c["def_ent_id"].asString().substr(platform.size() + 1), std::regex("[a-z0-9_]+")));
    const std::string topic = c.get("stat_t", device_config["stat_t"]).asString();
    const Json::Value state = state_of(topic);
    ASSERT_FALSE(state.isNull()) << "nothing retained on " << topic;
    const std::string cls = c.get("dev_cla", "").asString();
    if (platform == "binary_sensor") {
        EXPECT_TRUE(cls == "problem" || cls == "connectivity") << cls;
        const Json::Value v = c.isMember("val_tpl") ? Evaluate(c["val_tpl"].asString(), state) : state;
        const Json::Value on = c.get("pl_on", "ON"), off = c.get("pl_off", "OFF");
        EXPECT_TRUE(v == on || v == off) << v;
        return;
    }
    const Json::Value value = Evaluate(c["val_tpl"].asString(), state);
    if (cls == "enum") {
        EXPECT_FALSE(c.isMember("unit_of_meas") || c.isMember("stat_cla"));
        std::set<std::string> ops;
        for (const auto& o : c["ops"]) ops.insert(o.asString());
        EXPECT_TRUE(ops.count(value.asString())) << value;
        return;
    }
    EXPECT_TRUE(value.isNumeric()) << c["val_tpl"] << " gives " << value;
    if (!cls.empty()) {
        const auto it = DeviceClassUnits().find(cls);
        ASSERT_NE(it, DeviceClassUnits().end()) << "no such sensor device class " << cls;
        EXPECT_TRUE(it->second.count(c.get("unit_of_meas", "").asString())) << cls << " " << c["unit_of_meas"];
    }
    if (c.isMember("stat_cla")) {
        EXPECT_EQ(c["stat_cla"], "measurement");
    }
}

}  // namespace mqtt_test
