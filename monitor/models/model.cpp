#include "monitor/models/model.h"

#include "monitor/models/m520s.h"

namespace monitor::model {

const char* KindName(Kind k) {
    switch (k) {
        case Kind::Id: return "id";
        case Kind::Measurement: return "measurement";
        case Kind::State: return "state";
        case Kind::Count: return "count";
        case Kind::Parameter: return "parameter";
        case Kind::Text: return "text";
        case Kind::Time: return "time";
    }
    return "?";
}

size_t Field::ScalarSize() const {
    switch (scalar) {
        case Scalar::U8: return 1;
        case Scalar::U32:
        case Scalar::F32: return 4;
        case Scalar::Stamp: return 7;
    }
    return 1;
}

const Field* Record::Find(std::string_view n) const {
    for (const auto& f : fields)
        if (n == f.name) return &f;
    return nullptr;
}

const UnitKind* Model::Unit(std::string_view device_type) const {
    for (const auto& u : Units())
        if (device_type == u.device_type) return &u;
    return nullptr;
}

const UnitKind* Model::UnitBySnapshot(int type) const {
    for (const auto& u : Units())
        if (u.snapshot_type == type) return &u;
    return nullptr;
}

int Model::CycleIndex(uint8_t cid1, uint8_t cid2) const {
    const auto c = Cycle();
    for (size_t i = 0; i < c.size(); ++i)
        if (c[i].cid1 == cid1 && c[i].cid2 == cid2) return static_cast<int>(i) + 1;
    return 0;
}

const char* Model::RequestName(uint8_t cid1, uint8_t cid2) const {
    const int i = CycleIndex(cid1, cid2);
    return i ? Cycle()[static_cast<size_t>(i) - 1].name : "unknown request";
}

const AlarmKey* Model::FindAlarmKey(std::string_view key) const {
    for (const auto& k : AlarmKeys())
        if (key == k.key) return &k;
    return nullptr;
}

const char* Model::StateMeaning(std::string_view device_type, std::string_view field, int element,
                                int state) const {
    if (const UnitKind* u = Unit(device_type)) {
        const Field* f = u->head.Find(field);
        if (!f && u->items) f = u->items->Find(field);
        for (const auto& s : f ? f->states : std::span<const StateText>{})
            if (s.value == state) return s.en;
    }
    for (const auto& k : AlarmKeys()) {
        if (!k.field || device_type != (k.device_type ? k.device_type : "") || field != k.field) continue;
        if (k.element != -1 && k.element != element) continue;
        if (k.value == state) return k.label;
        for (const auto& s : k.states)
            if (s.value == state) return s.en;
    }
    return nullptr;
}

const Model* FindModel(std::string_view name) {
    for (const Model* m : {&M520S()})
        if (m->Name() == name) return m;
    return nullptr;
}

std::vector<std::string_view> ModelNames() { return {M520S().Name()}; }

std::string FillLabel(std::string_view pattern, uint32_t device, size_t n) {
    std::string out;
    for (size_t i = 0; i < pattern.size();) {
        if (pattern.substr(i, 3) == "{n}") {
            out += std::to_string(n);
            i += 3;
        } else if (pattern.substr(i, 8) == "{device}") {
            out += std::to_string(device);
            i += 8;
        } else {
            out += pattern[i++];
        }
    }
    return out;
}

std::optional<std::string> MatchNumbered(std::string_view pattern, std::string_view text) {
    const size_t at = pattern.find("{n}");
    if (at == std::string_view::npos)
        return pattern == text ? std::optional<std::string>(std::string()) : std::nullopt;
    const std::string_view head = pattern.substr(0, at), tail = pattern.substr(at + 3);
    if (text.size() < head.size() + tail.size() || !text.starts_with(head) || !text.ends_with(tail))
        return std::nullopt;
    const std::string_view digits = text.substr(head.size(), text.size() - head.size() - tail.size());
    if (digits.empty()) return std::nullopt;
    for (char c : digits)
        if (c < '0' || c > '9') return std::nullopt;
    return std::string(digits);
}

}  // namespace monitor::model
