#include "monitor/clock_text.h"

#include <cstdlib>
#include <ctime>

#include <fmt/format.h>

namespace monitor {

namespace {

struct Cached {
    std::time_t second = -1;
    std::string stored, event;
};

const Cached& now() {
    thread_local Cached c;
    const std::time_t t = std::time(nullptr);
    if (t != c.second) {
        std::tm tm{};
        localtime_r(&t, &tm);
        c.stored = fmt::format("{:04}-{:02}-{:02}T{:02}:{:02}:{:02}", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                               tm.tm_hour, tm.tm_min, tm.tm_sec);
        const long off = tm.tm_gmtoff / 60;
        c.event = fmt::format("{}{}{:02}:{:02}", c.stored, off < 0 ? '-' : '+', std::labs(off) / 60, std::labs(off) % 60);
        c.second = t;
    }
    return c;
}

}  // namespace

const std::string& NowText() { return now().stored; }
const std::string& EventTime() { return now().event; }

}  // namespace monitor
