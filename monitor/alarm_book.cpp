#include "monitor/alarm_book.h"

#include <algorithm>
#include <set>

#include "host/controller.h"

namespace monitor {

void AlarmBook::Load(const std::vector<Alarm>& list) {
    active.clear();
    for (const auto& a : list) {
        Alarm& stored = active[{a.device, a.key, a.detail}] = a;
        if (labeller) stored.label = labeller(stored);
    }
}

std::string AlarmBook::StateText(const rule_value& r) {
    if (r.table_id == 0) return "";
    if (const host::StateTable* t = host::state_table(r.table_id)) {
        auto it = t->find(r.state);
        if (it != t->end()) return it->second;
    }
    return std::to_string(static_cast<int>(r.state));
}

namespace {
using View = std::tuple<uint32_t, std::string_view, std::string_view>;
}  // namespace

Alarm AlarmBook::make(uint32_t device, const rule_value& r, const std::string& now) const {
    Alarm a;
    a.device = device;
    a.key = r.key;
    a.detail = r.detail;
    a.code = r.code;
    a.name = r.name;
    a.level = r.level;
    a.state = r.state;
    a.state_text = StateText(r);
    a.since = now;
    if (labeller) a.label = labeller(a);
    return a;
}

std::vector<AlarmChange> AlarmBook::Evaluate(uint32_t device, const std::vector<rule_value>& rules,
                                             const std::string& now) {
    std::vector<AlarmChange> out;
    // This device's instances before the batch. Most batches find none, and
    // then a rule whose condition is false needs no lookup at all.
    std::vector<std::pair<std::string, std::string>> before;
    for (auto it = active.lower_bound(View{device, "", ""}); it != active.end() && std::get<0>(it->first) == device; ++it)
        before.emplace_back(std::get<1>(it->first), std::get<2>(it->first));
    for (const auto& r : rules) {
        const bool on = r.state != 0;
        if (!on && before.empty()) continue;
        auto it = active.find(View{device, r.key, r.detail});
        if (on && it == active.end()) {
            Alarm a = make(device, r, now);
            active.emplace(Key{device, r.key, r.detail}, a);
            out.push_back({"raise", std::move(a)});
        } else if (on && it->second.state != r.state) {
            Alarm a = make(device, r, now);
            a.since = it->second.since;
            it->second = a;
            out.push_back({"update", std::move(a)});
        } else if (!on && it != active.end()) {
            out.push_back({"clear", make(device, r, now)});
            active.erase(it);
        }
    }
    if (!before.empty()) clear_vanished(device, rules, before, out);
    return out;
}

void AlarmBook::clear_vanished(uint32_t device, const std::vector<rule_value>& rules,
                               const std::vector<std::pair<std::string, std::string>>& before,
                               std::vector<AlarmChange>& out) {
    // A few instances are looked for among the rules directly; many through sets.
    std::set<std::string_view> keys;
    std::set<std::pair<std::string_view, std::string_view>> checked;
    const bool indexed = before.size() > 8;
    if (indexed)
        for (const auto& r : rules) {
            keys.insert(r.key);
            checked.emplace(r.key, r.detail);
        }
    auto key_checked = [&](const std::string& key) {
        if (indexed) return keys.count(key) > 0;
        return std::any_of(rules.begin(), rules.end(), [&](const rule_value& r) { return r.key == key; });
    };
    auto detail_checked = [&](const std::string& key, const std::string& detail) {
        if (indexed) return checked.count({key, detail}) > 0;
        return std::any_of(rules.begin(), rules.end(),
                           [&](const rule_value& r) { return r.key == key && r.detail == detail; });
    };
    for (const auto& [key, detail] : before) {
        if (!key_checked(key) || detail_checked(key, detail)) continue;
        auto it = active.find(View{device, key, detail});
        if (it == active.end()) continue;
        Alarm gone = it->second;
        gone.state = 0;
        gone.state_text = "";
        out.push_back({"clear", gone});
        active.erase(it);
    }
}

std::vector<AlarmChange> AlarmBook::Set(const Alarm& alarm, bool on, const std::string& now) {
    const Key k{alarm.device, alarm.key, alarm.detail};
    auto it = active.find(k);
    Alarm a = alarm;
    a.since = now;
    a.state = on ? 1 : 0;
    if (labeller) a.label = labeller(a);
    if (on && it == active.end()) {
        active.emplace(k, a);
        return {{"raise", a}};
    }
    if (!on && it != active.end()) {
        active.erase(it);
        return {{"clear", a}};
    }
    return {};
}

bool AlarmBook::IsActive(uint32_t device, const std::string& key, const std::string& detail) const {
    return active.count({device, key, detail}) != 0;
}

std::vector<Alarm> AlarmBook::List() const {
    std::vector<Alarm> out;
    out.reserve(active.size());
    for (const auto& [k, a] : active) out.push_back(a);
    return out;
}

model::AlarmFacts FactsOf(const Alarm& a, std::string_view device_type) {
    model::AlarmFacts f;
    f.device = a.device;
    f.device_type = device_type;
    f.key = a.key;
    f.name = a.name;
    f.detail = a.detail;
    f.state = a.state;
    f.state_text = a.state_text;
    return f;
}

}  // namespace monitor
