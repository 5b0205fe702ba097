#include "monitor/sinks/unit_lines.h"

#include <algorithm>
#include <sstream>

#include <fmt/format.h>

namespace monitor {

namespace {

std::vector<std::string> split(const char* fields) {
    std::vector<std::string> out;
    std::istringstream in(fields);
    for (std::string f; in >> f;) out.push_back(f);
    return out;
}

std::string clock_text(const boost::posix_time::ptime& t) {
    if (t.is_special()) return "";
    return boost::posix_time::to_simple_string(t.time_of_day());
}

}  // namespace

std::vector<std::string> UnitLines::values(const model::ShortLabel& s, const model::Record& r, int item) const {
    std::vector<std::string> out;
    for (const auto& name : split(s.fields)) {
        const model::Field* f = r.Find(name);
        if (!f) continue;
        const size_t n = f->list ? u.data->Filled(*f, item) : 1;
        for (size_t i = 0; i < n; ++i) {
            const auto v = u.data->Value(*f, item, i);
            if (!v)
                out.push_back("-");
            else if (f->scalar == model::Scalar::F32)
                out.push_back(fmt::format("{:.{}f}", *v, std::max<int>(f->precision, 0)));
            else
                out.push_back(fmt::format("{}", static_cast<int64_t>(*v)));
        }
    }
    return out;
}

std::string UnitLines::unit_of(const model::ShortLabel& s, const model::Record& r) const {
    const auto names = split(s.fields);
    const model::Field* f = names.size() == 1 ? r.Find(names[0]) : nullptr;
    return f ? f->unit : "";
}

void UnitLines::Append(std::vector<std::string>& out, const boost::posix_time::ptime& now) const {
    const model::UnitKind* k = u.kind;
    const bool have = u.seen && u.data && k;
    const bool fresh = have && u.data->FreshAt(now);
    const std::string title = k ? model::FillLabel(zh && k->label_zh ? k->label_zh : k->label, u.device, 0)
                                : fmt::format("{} {}", u.device_type, u.device);
    const std::string mark = !have ? st("33", "no data") : fresh ? st("32", "fresh") : st("1;33", "STALE");
    auto dim = [&](const std::string& t) { return fresh ? t : st("2", t); };
    std::string line = st("1", title) + "  " + mark;
    if (have) line += " " + clock_text(u.data->Stamp());
    if (!have || !k->view) {
        out.push_back(line);
        return;
    }
    std::string vals;
    for (const auto& s : k->view->head) {
        const auto v = values(s, k->head, -1);
        std::string part = s.text;
        for (const auto& x : v) part += " " + x;
        const std::string unit = unit_of(s, k->head);
        if (!unit.empty()) part += " " + unit;
        vals += "  " + part;
    }
    out.push_back(line + dim(" " + vals));
    if (!k->items || u.data->Items() == 0) return;
    if (k->view->grid_state)
        grid(out, dim);
    else
        table(out, dim);
}

void UnitLines::table(std::vector<std::string>& out, const std::function<std::string(const std::string&)>& dim) const {
    const model::UnitKind& k = *u.kind;
    std::string head = fmt::format("   {:>2}", k.view->items_title);
    for (const auto& s : k.view->items) {
        const std::string unit = unit_of(s, *k.items);
        head += unit.empty() ? "   " + std::string(s.text) : " " + RightAlign(std::string(s.text) + "/" + unit, 8);
    }
    out.push_back(dim(head));
    for (size_t i = 0; i < u.data->Items(); ++i) {
        std::string row = fmt::format("   {:>2}", i + 1);
        for (const auto& s : k.view->items) {
            const auto v = values(s, *k.items, static_cast<int>(i));
            if (unit_of(s, *k.items).empty()) {
                std::string joined;
                for (const auto& x : v) joined += (joined.empty() ? "" : " ") + x;
                row += "   " + joined;
            } else {
                row += " " + RightAlign(v.empty() ? "-" : v[0], 8);
            }
        }
        out.push_back(dim(row));
    }
}

void UnitLines::grid(std::vector<std::string>& out, const std::function<std::string(const std::string&)>& dim) const {
    const model::UnitKind& k = *u.kind;
    const model::Field* state = k.items->Find(k.view->grid_state);
    struct Cell {
        std::string value, mark;
        bool bad;
    };
    std::vector<Cell> cells;
    size_t widest = 2;
    for (size_t i = 0; i < u.data->Items(); ++i) {
        const int item = static_cast<int>(i);
        const auto v = k.view->items.empty() ? std::vector<std::string>{} : values(k.view->items[0], *k.items, item);
        const int s = state ? static_cast<int>(u.data->Value(*state, item, 0).value_or(0)) : 0;
        std::string mark = "ok";
        if (s != 0) {
            mark = std::to_string(s);
            for (const auto& t : state->states)
                if (t.value == s) mark = t.en;
            std::transform(mark.begin(), mark.end(), mark.begin(), [](unsigned char c) { return std::toupper(c); });
        }
        widest = std::max(widest, DisplayWidth(mark));
        cells.push_back({v.empty() ? "-" : v[0], mark, s != 0});
    }
    // Items side by side, as many as the width allows, every cell as wide
    // as the widest mark needs.
    const size_t cell = 16 + widest;
    const size_t per_line = std::max<size_t>(1, (width > 3 ? width - 3 : 1) / cell);
    std::string row = "  ";
    size_t in_row = 0;
    for (size_t i = 0; i < cells.size(); ++i) {
        const std::string text = Pad(fmt::format(" #{:<2} {:>7} {}", i + 1, cells[i].value, cells[i].mark), cell);
        row += cells[i].bad ? st("31", text) : dim(text);
        if (++in_row == per_line) {
            out.push_back(row);
            row = "  ";
            in_row = 0;
        }
    }
    if (in_row) out.push_back(row);
}

}  // namespace monitor
