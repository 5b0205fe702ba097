#pragma once
// The M520S controller: two kinds of distribution panel and the rectifier
// group, as its snapshots hold them, and its alarms.

#include "monitor/models/model.h"

namespace monitor::model {

const Model& M520S();

}  // namespace monitor::model
