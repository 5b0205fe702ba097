#include "monitor/sinks/site_page.h"

#include <map>

#include <fmt/format.h>

#include "monitor/clock_text.h"
#include "monitor/models/catalogue.h"
#include "monitor/sinks/http_render.h"

namespace monitor {

namespace {

using model::Field;
using model::Kind;

// More entries than this fold away under their field's name.
constexpr size_t kFoldAt = 6;

std::string attr(std::string_view s) { return HtmlEscape(s); }

bool shown(const Field& f) { return f.Numeric() && f.kind != Kind::Id && f.kind != Kind::Count; }

std::string state_text(const Field& f, int v) {
    for (const auto& s : f.states)
        if (s.value == v) return s.en;
    return v == 0 ? "normal" : std::to_string(v);
}

class Page {
public:
    Page(const SiteSnapshot& s, const SitePageOptions& o)
        : s(s), zh(o.language == "zh"), wall(boost::posix_time::second_clock::local_time()) {}

    std::string Render();

private:
    void status();
    void alarms();
    void unit(const UnitState& u);
    void head_values(const UnitState& u, const std::vector<FieldEntry>& fields);
    void items_table(const UnitState& u, const std::vector<FieldEntry>& fields);
    void grid(const UnitState& u, const std::vector<FieldEntry>& fields);
    void more(const std::vector<FieldEntry>& fields);
    // One value as a table cell that site.js can update.
    std::string cell(const UnitState& u, const FieldEntry& f, const char* tag = "td");
    std::string label(const FieldEntry& f) const;

    const SiteSnapshot& s;
    bool zh;
    boost::posix_time::ptime wall;
    std::string out;
};

std::string Page::cell(const UnitState& u, const FieldEntry& f, const char* tag) {
    std::string path;
    for (const auto& step : f.steps) path += (path.empty() ? "" : ".") + step;
    const auto v = u.data->Value(*f.field, f.item, f.element);
    std::string text = "-", extra;
    if (f.field->kind == Kind::State) {
        if (v) text = state_text(*f.field, static_cast<int>(*v));
        extra = fmt::format(" data-s=\"{}\"{}", attr(f.field->name), v && *v != 0 ? " class=\"alert\"" : "");
    } else if (f.field->scalar == model::Scalar::F32) {
        if (v) text = fmt::format("{:.{}f}", *v, std::max<int>(f.field->precision, 0));
        extra = fmt::format(" data-p=\"{}\"", std::max<int>(f.field->precision, 0));
    } else if (v) {
        text = fmt::format("{}", static_cast<int64_t>(*v));
    }
    return fmt::format("<{} data-v=\"{}\" title=\"{}\"{}>{}</{}>", tag, attr(path), attr(f.path), extra,
                       HtmlEscape(text), tag);
}

std::string Page::label(const FieldEntry& f) const {
    // The unit's own name is the section's title; the label without it.
    const std::string unit_title = model::FillLabel(f.kind->label, f.device, 0) + ", ";
    std::string l = f.label.rfind(unit_title, 0) == 0 ? f.label.substr(unit_title.size()) : f.label;
    if (zh && f.field->label_zh && !f.field->list && f.item < 0) l = f.field->label_zh;
    return l;
}

void Page::head_values(const UnitState& u, const std::vector<FieldEntry>& fields) {
    std::map<const Field*, std::vector<const FieldEntry*>> lists;
    out += "<table class=\"values\">";
    for (const auto& f : fields) {
        if (f.item >= 0 || !shown(*f.field)) continue;
        if (f.field->list) {
            lists[f.field].push_back(&f);
            continue;
        }
        const std::string unit = f.field->unit;
        out += fmt::format("<tr><th>{}</th>{}<td class=\"u\">{}</td></tr>", HtmlEscape(label(f)), cell(u, f),
                           HtmlEscape(unit));
    }
    out += "</table>";
    for (const auto& [field, entries] : lists) {
        const bool fold = entries.size() > kFoldAt;
        std::string name = field->label;
        if (const size_t n = name.find(" {n}"); n != std::string::npos) name.erase(n, 4);
        if (fold) out += fmt::format("<details><summary>{} ({})</summary>", HtmlEscape(name), entries.size());
        out += "<table class=\"values\">";
        for (const FieldEntry* f : entries)
            out += fmt::format("<tr><th>{}</th>{}<td class=\"u\">{}</td></tr>", HtmlEscape(label(*f)), cell(u, *f),
                               HtmlEscape(field->unit));
        out += fold ? "</table></details>" : "</table>";
    }
}

void Page::items_table(const UnitState& u, const std::vector<FieldEntry>& fields) {
    const model::UnitKind& k = *u.kind;
    // The model's short column labels where it has them, else every scalar field.
    std::vector<std::pair<std::string, std::vector<const Field*>>> cols;
    if (k.view && !k.view->items.empty()) {
        for (const auto& s : k.view->items) {
            std::vector<const Field*> fs;
            std::string names = s.fields;
            for (size_t at = 0; at < names.size();) {
                const size_t end = std::min(names.find(' ', at), names.size());
                if (const Field* f = k.items->Find(names.substr(at, end - at)); f && !f->list) fs.push_back(f);
                at = end + 1;
            }
            if (!fs.empty()) cols.emplace_back(s.text, fs);
        }
    } else {
        for (const auto& f : k.items->fields)
            if (shown(f) && !f.list) cols.push_back({f.name, {&f}});
    }
    out += "<div class=\"scroll\"><table class=\"items\"><tr><th></th>";
    for (const auto& [text, fs] : cols)
        out += fmt::format("<th title=\"{}\">{}{}</th>", attr(fs[0]->label), HtmlEscape(text),
                           fs.size() == 1 && *fs[0]->unit ? " (" + HtmlEscape(fs[0]->unit) + ")" : "");
    out += "</tr>";
    for (size_t i = 0; i < u.data->Items(); ++i) {
        const char* pattern = zh && k.item_label_zh ? k.item_label_zh : k.item_label;
        out += fmt::format("<tr><th>{}</th>", HtmlEscape(model::FillLabel(pattern, u.device, i + 1)));
        for (const auto& [text, fs] : cols) {
            out += fs.size() == 1 ? "" : "<td>";
            for (const Field* c : fs)
                for (const auto& f : fields)
                    if (f.item == static_cast<int>(i) && f.field == c) out += cell(u, f, fs.size() == 1 ? "td" : "span");
            out += fs.size() == 1 ? "" : "</td>";
        }
        out += "</tr>";
    }
    out += "</table></div>";
}

void Page::grid(const UnitState& u, const std::vector<FieldEntry>& fields) {
    const model::UnitKind& k = *u.kind;
    const Field* state = k.items->Find(k.view->grid_state);
    const char* value = k.view->items.empty() ? nullptr : k.view->items[0].fields;
    out += "<div class=\"grid\">";
    for (size_t i = 0; i < u.data->Items(); ++i) {
        const int item = static_cast<int>(i);
        const bool bad = state && u.data->Value(*state, item, 0).value_or(0) != 0;
        out += fmt::format("<div class=\"cell{}\" data-item=\"{}\"><b>{}</b>", bad ? " alert" : "", i,
                           HtmlEscape(model::FillLabel(zh && k.item_label_zh ? k.item_label_zh : k.item_label,
                                                       u.device, i + 1)));
        for (const auto& f : fields)
            if (f.item == item && !f.field->list &&
                ((value && std::string_view(f.field->name) == value) || f.field == state))
                out += cell(u, f, "span");
        out += "</div>";
    }
    out += "</div>";
}

void Page::more(const std::vector<FieldEntry>& fields) {
    std::string rows;
    for (const auto& f : fields)
        if (f.item >= 0 && shown(*f.field) && f.field->list) rows += "x";
    if (rows.empty()) return;
    out += "<details><summary>More values</summary><table class=\"values\">";
    for (const auto& f : fields) {
        if (f.item < 0 || !shown(*f.field) || !f.field->list) continue;
        const UnitState* u = s.Unit(f.device);
        out += fmt::format("<tr><th>{}</th>{}<td class=\"u\">{}</td></tr>", HtmlEscape(label(f)), cell(*u, f),
                           HtmlEscape(f.field->unit));
    }
    out += "</table></details>";
}

void Page::unit(const UnitState& u) {
    const model::UnitKind* k = u.kind;
    const std::string title = k ? model::FillLabel(zh && k->label_zh ? k->label_zh : k->label, u.device, 0)
                                : fmt::format("{} {}", u.device_type, u.device);
    const bool have = u.seen && u.data && k;
    const bool fresh = have && u.data->FreshAt(wall);
    out += fmt::format("<section class=\"unit{}\" id=\"unit-{}\" data-device=\"{}\" data-type=\"{}\"{}><h2>{} ",
                       fresh ? "" : " stale", u.device, u.device, attr(u.device_type), have ? "" : " data-empty=\"1\"",
                       HtmlEscape(title));
    out += fmt::format("<span class=\"badge {}\">{}</span>", !have ? "none" : fresh ? "fresh" : "stale",
                       !have ? "no data" : fresh ? "fresh" : "stale");
    const std::string stamp = have && !u.data->Stamp().is_special()
                                  ? boost::posix_time::to_simple_string(u.data->Stamp().time_of_day())
                                  : "";
    out += fmt::format(" <small class=\"stamp\">{}</small></h2>", HtmlEscape(stamp));
    if (!have) {
        out += fmt::format("<p class=\"note\">{}</p></section>", HtmlEscape(u.error.empty() ? "waiting for the first cycle" : u.error));
        return;
    }
    const auto fields = UnitFields(*k, u.device, u.data.get());
    head_values(u, fields);
    if (k->items && u.data->Items() > 0) {
        if (k->view && k->view->grid_state)
            grid(u, fields);
        else
            items_table(u, fields);
        more(fields);
    }
    out += "</section>";
}

void Page::status() {
    const LinkState& l = s.link;
    out += "<section class=\"status\">";
    out += fmt::format("<span id=\"link\" class=\"badge link-{}\">link {}</span> ", LinkStateName(l), LinkStateName(l));
    out += fmt::format("<span id=\"model\">{}</span> ", HtmlEscape(s.model_text.empty() ? "model ?" : s.model_text));
    out += fmt::format("<span id=\"cycle\" data-n=\"{}\">cycle {}{}</span> ", l.cycles, l.cycles,
                       l.last_duration_ms >= 0 ? fmt::format(", {} ms", l.last_duration_ms) : "");
    std::string progress = "line idle";
    if (l.in_flight) {
        const size_t steps = s.model->Cycle().size();
        progress = fmt::format("request {} of {}: {}", l.in_flight->index, steps,
                               s.model->RequestName(l.in_flight->cid1, l.in_flight->cid2));
    }
    out += fmt::format("<span id=\"progress\">{}</span>", HtmlEscape(progress));
    out += fmt::format(" <span id=\"counters\">answers {} · rejected {} · give-ups {}</span>", l.counters.answers,
                       l.counters.rejected, l.counters.give_ups);
    if (!s.storage.ok) out += fmt::format(" <span class=\"badge alert\">storage: {}</span>", HtmlEscape(s.storage.reason));
    out += "</section>";
}

void Page::alarms() {
    const auto& list = *s.alarms;
    out += fmt::format("<section class=\"alarms\"><h2>Active alarms <span id=\"alarm-count\">{}</span></h2>"
                       "<ul id=\"alarm-list\">",
                       list.size());
    for (const auto& a : list) {
        const std::string own = a.name + (a.detail.empty() ? "" : " " + a.detail);
        const std::string first = zh || a.label.empty() ? own : a.label;
        out += fmt::format("<li class=\"level-{}\" data-key=\"{}\"><span class=\"badge\">L{}</span> {} "
                           "<small>{} · since {}</small></li>",
                           a.level, attr(fmt::format("{}|{}|{}", a.device, a.key, a.detail)), a.level,
                           HtmlEscape(first), HtmlEscape(zh ? a.label : own), HtmlEscape(a.since));
    }
    out += fmt::format("</ul><p id=\"no-alarms\" class=\"note\"{}>none</p></section>", list.empty() ? "" : " hidden");
}

std::string Page::Render() {
    out.reserve(65536);
    status();
    alarms();
    out += "<div class=\"units\">";
    for (const auto& u : s.units) unit(u);
    out += "</div>";
    return out;
}

}  // namespace

std::string HtmlEscape(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char ch : text) {
        switch (ch) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            case '\'': out += "&#39;"; break;
            default: out += ch;
        }
    }
    return out;
}

std::string PageTop(const std::string& title, const std::string& current, const std::string& language) {
    std::string nav;
    for (const auto& [href, name] : {std::pair{"/", "Site"}, {"/alarms", "Alarms"}, {"/history", "History"}})
        nav += fmt::format("<a href=\"{}\"{}>{}</a>", href, current == name ? " aria-current=\"page\"" : "", name);
    return fmt::format("<!DOCTYPE html><html lang=\"{}\"><head><meta charset=\"utf-8\">"
                       "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">"
                       "<title>{} · m520s</title><link rel=\"stylesheet\" href=\"/static/style.css\">"
                       "<link rel=\"icon\" href=\"/static/icon.svg\"></head>"
                       "<body data-language=\"{}\"><header><strong>m520s</strong><nav>{}</nav></header><main>",
                       language == "zh" ? "zh" : "en", HtmlEscape(title), language == "zh" ? "zh" : "en", nav);
}

std::string RenderSitePage(const SiteSnapshot& site, const SitePageOptions& options) {
    std::string page = PageTop("Site", "Site", options.language);
    page += Page(site, options).Render();
    std::string texts = StateTextsJson(*site.model);
    // A data block, never run; "<" escaped so no text can end it.
    for (size_t i = 0; (i = texts.find('<', i)) != std::string::npos;) texts.replace(i, 1, "\\u003c");
    page += "<script type=\"application/json\" id=\"state-texts\">" + texts + "</script>";
    page += "</main><script src=\"/static/common.js\"></script><script src=\"/static/site.js\"></script></body></html>";
    return page;
}

}  // namespace monitor
