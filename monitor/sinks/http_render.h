#pragma once
// The JSON of /api/state and /api/fields, rendered on the server's threads
// from an immutable site snapshot.

#include <string>

#include "monitor/site_state.h"

namespace monitor {

// {"alarms", "cycle": {"duration_ms", "n"}, "link": {"counters", "state"},
//  "model", "time", "units"}: units as in the "cycle" line, alarms as the
// "alarm" objects without "action".
std::string StateJson(const SiteSnapshot& site);

// [{"device", "device_type", "field", "kind", "label", "precision", "unit"}]
// for every numeric value of the site's units.
std::string FieldsJson(const SiteSnapshot& site);

// Every state text of the model's fields, for the pages to name a state a
// cycle event reports: {"<device_type>": {"<field>": {"<value>": "text"}}}.
std::string StateTextsJson(const model::Model& model);

// "up", "down" or "unknown" (no answer and no give-up yet).
const char* LinkStateName(const LinkState& l);

}  // namespace monitor
