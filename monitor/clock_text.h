#pragma once
// Times as text. Both are cached per second: formatting a local time costs
// more than most of what happens in a cycle.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace monitor {

// Local time, ISO 8601 with seconds, as stored: 2026-12-08T16:05:01.
const std::string& NowText();
// The same with the UTC offset, as events carry it: 2026-12-08T16:05:01+01:00.
const std::string& EventTime();

// Milliseconds since the epoch, now.
int64_t NowMs();
// A time as stored ("2026-12-08T16:05:01", local) and as events show it
// (with the UTC offset, and ".250" when it has milliseconds).
std::string StoredText(int64_t ms);
std::string OffsetText(int64_t ms);
// A stored text back to milliseconds, read as local time; nullopt for
// anything else.
std::optional<int64_t> StoredTextMs(std::string_view text);

}  // namespace monitor
