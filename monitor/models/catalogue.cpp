#include "monitor/models/catalogue.h"

#include <charconv>

namespace monitor {

using model::Field;
using model::UnitKind;

namespace {

std::string field_label(const Field& f, size_t element) {
    if (!f.list) return f.label;
    if (element < f.element_labels.size()) return f.element_labels[element];
    return model::FillLabel(f.label, 0, element + 1);
}

FieldEntry make(const UnitKind& k, uint32_t device, const Field& f, int item, size_t element) {
    FieldEntry e;
    e.device = device;
    e.kind = &k;
    e.field = &f;
    e.item = item;
    e.element = element;
    e.path = std::to_string(device) + ".";
    std::string label = model::FillLabel(k.label, device, 0);
    if (item >= 0) {
        e.steps = {k.items_key, std::to_string(item)};
        e.path += std::string(k.items_key) + "[" + std::to_string(item) + "].";
        label += ", " + model::FillLabel(k.item_label, device, static_cast<size_t>(item) + 1);
    }
    e.steps.push_back(f.name);
    e.path += f.name;
    if (f.list) {
        e.steps.push_back(std::to_string(element));
        e.path += "[" + std::to_string(element) + "]";
    }
    e.label = label + ", " + field_label(f, element);
    return e;
}

void add_record(std::vector<FieldEntry>& out, const UnitKind& k, uint32_t device, const model::Record& r, int item,
                const UnitData* data) {
    for (const auto& f : r.fields) {
        if (!f.Numeric()) continue;
        const size_t n = !f.list ? 1 : data ? data->Filled(f, item) : f.extent;
        for (size_t i = 0; i < n; ++i) out.push_back(make(k, device, f, item, i));
    }
}

// "name[3]" -> name, 3; "name" -> name, nullopt.
bool take_index(std::string_view& s, std::string_view& name, std::optional<size_t>& index) {
    const size_t open = s.find('[');
    const size_t dot = s.find('.');
    if (open == std::string_view::npos || (dot != std::string_view::npos && dot < open)) {
        name = s.substr(0, dot);
        if (dot != std::string_view::npos && dot + 1 == s.size()) return false;
        s = dot == std::string_view::npos ? std::string_view{} : s.substr(dot + 1);
        index.reset();
        return !name.empty();
    }
    name = s.substr(0, open);
    const size_t close = s.find(']', open);
    if (close == std::string_view::npos || close == open + 1) return false;
    size_t v = 0;
    const auto r = std::from_chars(s.data() + open + 1, s.data() + close, v);
    if (r.ec != std::errc{} || r.ptr != s.data() + close) return false;
    index = v;
    s = s.substr(close + 1);
    if (!s.empty()) {
        if (s[0] != '.') return false;
        s = s.substr(1);
        if (s.empty()) return false;
    }
    return !name.empty();
}

}  // namespace

std::vector<FieldEntry> UnitFields(const UnitKind& k, uint32_t device, const UnitData* data, size_t items) {
    std::vector<FieldEntry> out;
    add_record(out, k, device, k.head, -1, data);
    const size_t n = data ? data->Items() : items;
    if (k.items)
        for (size_t i = 0; i < n; ++i) add_record(out, k, device, *k.items, static_cast<int>(i), data);
    return out;
}

std::optional<PathParts> SplitPath(std::string_view path) {
    const size_t dot = path.find('.');
    if (dot == std::string_view::npos || dot == 0) return std::nullopt;
    uint32_t device = 0;
    const auto r = std::from_chars(path.data(), path.data() + dot, device);
    if (r.ec != std::errc{} || r.ptr != path.data() + dot || dot + 1 >= path.size()) return std::nullopt;
    return PathParts{device, std::string(path.substr(dot + 1))};
}

std::optional<FieldEntry> ResolvePath(const UnitKind& k, uint32_t device, std::string_view rest) {
    std::string_view name;
    std::optional<size_t> index;
    if (!take_index(rest, name, index)) return std::nullopt;
    int item = -1;
    const model::Record* rec = &k.head;
    if (k.items && name == k.items_key) {
        // An item index: ≤ 255 items, as the count byte allows.
        if (!index || *index > 255 || rest.empty()) return std::nullopt;
        item = static_cast<int>(*index);
        rec = k.items;
        if (!take_index(rest, name, index)) return std::nullopt;
    }
    if (!rest.empty()) return std::nullopt;
    const Field* f = rec->Find(name);
    if (!f || !f->Numeric()) return std::nullopt;
    if (f->list != index.has_value()) return std::nullopt;
    if (index && *index >= f->extent) return std::nullopt;
    return make(k, device, *f, item, index.value_or(0));
}

}  // namespace monitor
