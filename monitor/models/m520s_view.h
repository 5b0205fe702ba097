#pragma once
// How the live view lays out the M520S's units.

#include "monitor/models/model.h"

namespace monitor::model {

extern const UnitView kM520SAcView;
extern const UnitView kM520SDcView;
extern const UnitView kM520SRcView;

}  // namespace monitor::model
