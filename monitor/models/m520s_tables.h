#pragma once
// The M520S's tables, shared by its model files only: the unit kinds with
// their record catalogues, the alarm keys, and the label of an alarm.

#include <span>
#include <string>

#include "monitor/models/model.h"

namespace monitor::model::m520s {

inline constexpr const char* kMainDeviceType = "m520s";
inline constexpr const char* kAcType = "m520s-ac";
inline constexpr const char* kDcType = "m520s-dc";
inline constexpr const char* kRcType = "m520s-rc";
// The main device in a label: the alarms it and the host raise for the site.
inline constexpr const char* kMainLabel = "Controller {device}";

std::span<const UnitKind> UnitKinds();
std::span<const AlarmKey> AlarmTable();
std::string AlarmLabel(const Model& model, const AlarmFacts& alarm);

}  // namespace monitor::model::m520s
