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

}  // namespace monitor::model
