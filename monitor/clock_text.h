#pragma once
// Times as text. Both are cached per second: formatting a local time costs
// more than most of what happens in a cycle.

#include <string>

namespace monitor {

// Local time, ISO 8601 with seconds, as stored: 2026-12-08T16:05:01.
const std::string& NowText();
// The same with the UTC offset, as events carry it: 2026-12-08T16:05:01+01:00.
const std::string& EventTime();

}  // namespace monitor
