#pragma once
// Active alarm instances, identified by (device id, alarm key, alarm detail).
// A batch of rules from a device raises what turned true and clears what
// turned false; the book itself never touches storage or output, it reports
// changes for the caller to store and show.

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "host/rule_value.h"
#include "monitor/models/model.h"

namespace monitor {

struct Alarm {
    uint32_t device = 0;
    std::string key, detail, code, name;
    int32_t level = 0;
    int state = 0;
    std::string state_text;
    std::string since;  // when it was raised
    std::string label;  // in English, from the model catalogue (never stored)
};

struct AlarmChange {
    // "raise" and "clear" are events; "update" is an active alarm whose state
    // moved to another non-zero state: its row changes, nothing is raised.
    std::string action;
    Alarm alarm;
};

class AlarmBook {
public:
    using Key = std::tuple<uint32_t, std::string, std::string>;
    using Labeller = std::function<std::string(const Alarm&)>;

    // Gives every alarm the book raises or loads its label.
    void SetLabeller(Labeller l) { labeller = std::move(l); }

    // Alarms that were active when the program last stopped: a condition
    // still true raises nothing again.
    void Load(const std::vector<Alarm>& active);

    // One device's batch. A state-table rule is active while its state is not
    // 0; a two-state rule while its condition is 1. An active instance of a
    // key the batch checks but whose detail it no longer names (a module that
    // went away) is cleared.
    std::vector<AlarmChange> Evaluate(uint32_t device, const std::vector<rule_value>& rules, const std::string& now);

    // One alarm the host decides itself (the lost link).
    std::vector<AlarmChange> Set(const Alarm& alarm, bool active, const std::string& now);

    bool IsActive(uint32_t device, const std::string& key, const std::string& detail) const;
    const std::map<Key, Alarm, std::less<>>& Active() const { return active; }
    // Every active alarm, in key order.
    std::vector<Alarm> List() const;

    static std::string StateText(const rule_value& r);

private:
    Alarm make(uint32_t device, const rule_value& r, const std::string& now) const;
    // An instance of a key the batch checks but whose detail it no longer
    // names (a module that went away) is over.
    void clear_vanished(uint32_t device, const std::vector<rule_value>& rules,
                        const std::vector<std::pair<std::string, std::string>>& before, std::vector<AlarmChange>& out);
    // Heterogeneous lookup: a batch's rules are looked up by view, not copied.
    std::map<Key, Alarm, std::less<>> active;
    Labeller labeller;
};

// What the catalogue labels an alarm by: views into `a` and `device_type`.
model::AlarmFacts FactsOf(const Alarm& a, std::string_view device_type);

}  // namespace monitor
