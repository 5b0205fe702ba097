#include "monitor/alarm_book.h"

#include <set>

#include "host/controller.h"

namespace monitor {

void AlarmBook::Load(const std::vector<Alarm>& list) {
    active.clear();
    for (const auto& a : list) active[{a.device, a.key, a.detail}] = a;
}

std::string AlarmBook::StateText(const rule_value& r) {
    if (r.table_id == 0) return "";
    if (const host::StateTable* t = host::state_table(r.table_id)) {
        auto it = t->find(r.state);
        if (it != t->end()) return it->second;
    }
    return std::to_string(static_cast<int>(r.state));
}

std::vector<AlarmChange> AlarmBook::Evaluate(uint32_t device, const std::vector<rule_value>& rules,
                                             const std::string& now) {
    using View = std::tuple<uint32_t, std::string_view, std::string_view>;
    std::vector<AlarmChange> out;
    std::set<std::string_view> keys;
    std::set<std::pair<std::string_view, std::string_view>> checked;
    auto make = [&](const rule_value& r) {
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
        return a;
    };
    for (const auto& r : rules) {
        keys.insert(r.key);
        checked.emplace(r.key, r.detail);
        auto it = active.find(View{device, r.key, r.detail});
        const bool on = r.state != 0;
        if (on && it == active.end()) {
            Alarm a = make(r);
            active.emplace(Key{device, r.key, r.detail}, a);
            out.push_back({"raise", std::move(a)});
        } else if (on && it->second.state != r.state) {
            Alarm a = make(r);
            a.since = it->second.since;
            it->second = a;
            out.push_back({"update", std::move(a)});
        } else if (!on && it != active.end()) {
            out.push_back({"clear", make(r)});
            active.erase(it);
        }
    }
    // Only this device's instances, found from its first key on.
    for (auto it = active.lower_bound(View{device, "", ""}); it != active.end() && std::get<0>(it->first) == device;) {
        const auto& [dev, key, detail] = it->first;
        if (keys.count(key) && !checked.count({key, detail})) {
            Alarm gone = it->second;
            gone.state = 0;
            gone.state_text = "";
            out.push_back({"clear", gone});
            it = active.erase(it);
        } else {
            ++it;
        }
    }
    return out;
}

std::vector<AlarmChange> AlarmBook::Set(const Alarm& alarm, bool on, const std::string& now) {
    const Key k{alarm.device, alarm.key, alarm.detail};
    auto it = active.find(k);
    Alarm a = alarm;
    a.since = now;
    a.state = on ? 1 : 0;
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

Json::Value AlarmJson(const Alarm& a) {
    Json::Value v(Json::objectValue);
    v["device"] = a.device;
    v["key"] = a.key;
    v["code"] = a.code;
    v["name"] = a.name;
    v["detail"] = a.detail;
    v["level"] = a.level;
    v["state"] = a.state;
    v["state_text"] = a.state_text;
    return v;
}

Json::Value AlarmBook::ActiveJson() const {
    Json::Value list(Json::arrayValue);
    for (const auto& [k, a] : active) {
        Json::Value v = AlarmJson(a);
        v["since"] = a.since;
        list.append(v);
    }
    return list;
}

Json::Value AlarmEventJson(const AlarmChange& change) {
    Json::Value v = AlarmJson(change.alarm);
    v["event"] = "alarm";
    v["action"] = change.action;
    return v;
}

}  // namespace monitor
