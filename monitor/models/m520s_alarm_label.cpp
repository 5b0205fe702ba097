// An M520S alarm in English: which unit (and channel, module or battery),
// and what is wrong, read from the key and the numbers in the controller's
// detail text.

#include <string_view>

#include "monitor/models/m520s_tables.h"

namespace monitor::model::m520s {

namespace {

std::string Replace(std::string_view pattern, std::string_view what, std::string_view with) {
    std::string out;
    for (size_t i = 0; i < pattern.size();) {
        if (pattern.substr(i, what.size()) == what) {
            out += with;
            i += what.size();
        } else {
            out += pattern[i++];
        }
    }
    return out;
}

std::string UnitName(const Model& model, const AlarmFacts& a, const AlarmKey* k) {
    std::string_view type = a.device_type;
    if (type.empty() && k && k->device_type) type = k->device_type;
    if (const UnitKind* u = model.Unit(type)) return FillLabel(u->label, a.device, 0);
    if (type == model.MainDeviceType()) return FillLabel(kMainLabel, a.device, 0);
    return FillLabel("Device {device}", a.device, 0);
}

// The model text the controller reported, as printable ASCII (it may be
// padded with blanks or zero bytes, and is not to be trusted to be text).
std::string ReportedModel(std::string_view detail) {
    constexpr std::string_view kMarker = "检测型号:";
    const size_t at = detail.find(kMarker);
    if (at == std::string_view::npos) return "?";
    std::string_view model = detail.substr(at + kMarker.size());
    while (!model.empty() && (model.back() == ' ' || model.back() == '\0')) model.remove_suffix(1);
    std::string out;
    for (char c : model) out += (c >= 0x20 && c < 0x7F) ? c : '?';
    return out;
}

std::string StateName(const AlarmKey& k, const AlarmFacts& a) {
    for (const auto& s : k.states)
        if (s.value == a.state) return s.en;
    return "state " + std::to_string(a.state);
}

std::string Known(const Model& model, const AlarmFacts& a, const AlarmKey& k) {
    std::string out = UnitName(model, a, &k);
    if (std::string_view(k.key) == "device_model")
        return out + ": " + k.label + " \"" + ReportedModel(a.detail) + "\"";
    const std::optional<std::string> n = k.detail ? MatchNumbered(k.detail, a.detail) : std::nullopt;
    const std::string number = n && !n->empty() ? *n : "?";
    const UnitKind* u = model.Unit(k.device_type);
    if (u && u->items && k.field && u->items->Find(k.field))
        out += ", " + Replace(u->item_label, "{n}", number);
    out += ": " + Replace(k.label, "{n}", number);
    if (!k.states.empty()) out += ": " + StateName(k, a);
    // A detail the table does not foresee still tells instances apart.
    if (k.detail && !n) out += " (" + std::string(a.detail) + ")";
    return out;
}

std::string Unknown(const Model& model, const AlarmFacts& a) {
    std::string out = UnitName(model, a, nullptr) + ": alarm";
    if (!a.key.empty()) out += " " + std::string(a.key);
    std::string said;
    for (std::string_view part : {a.name, a.detail, a.state_text}) {
        if (part.empty()) continue;
        if (!said.empty()) said += ", ";
        said += part;
    }
    if (!said.empty()) out += " (" + said + ")";
    return out;
}

}  // namespace

std::string AlarmLabel(const Model& model, const AlarmFacts& a) {
    const AlarmKey* k = model.FindAlarmKey(a.key);
    return k ? Known(model, a, *k) : Unknown(model, a);
}

}  // namespace monitor::model::m520s
