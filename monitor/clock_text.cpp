#include "monitor/clock_text.h"

#include <chrono>
#include <cstdlib>
#include <ctime>

#include <fmt/format.h>

namespace monitor {

namespace {

struct Cached {
    std::time_t second = -1;
    std::string stored, event;
};

std::string stored(const std::tm& tm);
std::string with_offset(const std::string& text, const std::tm& tm);

const Cached& now() {
    thread_local Cached c;
    const std::time_t t = std::time(nullptr);
    if (t != c.second) {
        std::tm tm{};
        localtime_r(&t, &tm);
        c.stored = stored(tm);
        c.event = with_offset(c.stored, tm);
        c.second = t;
    }
    return c;
}

std::string stored(const std::tm& tm) {
    return fmt::format("{:04}-{:02}-{:02}T{:02}:{:02}:{:02}", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour,
                       tm.tm_min, tm.tm_sec);
}

std::string with_offset(const std::string& text, const std::tm& tm) {
    const long off = tm.tm_gmtoff / 60;
    return fmt::format("{}{}{:02}:{:02}", text, off < 0 ? '-' : '+', std::labs(off) / 60, std::labs(off) % 60);
}

std::tm local(int64_t ms, int64_t& rest) {
    int64_t s = ms / 1000;
    rest = ms % 1000;
    if (rest < 0) {
        rest += 1000;
        --s;
    }
    const std::time_t t = static_cast<std::time_t>(s);
    std::tm tm{};
    localtime_r(&t, &tm);
    return tm;
}

}  // namespace

const std::string& NowText() { return now().stored; }
const std::string& EventTime() { return now().event; }

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::string StoredText(int64_t ms) {
    int64_t rest = 0;
    return stored(local(ms, rest));
}

std::string OffsetText(int64_t ms) {
    int64_t rest = 0;
    const std::tm tm = local(ms, rest);
    std::string text = stored(tm);
    if (rest) text += fmt::format(".{:03}", rest);
    return with_offset(text, tm);
}

std::optional<int64_t> StoredTextMs(std::string_view t) {
    // Exactly "YYYY-MM-DDTHH:MM:SS", digits where digits belong.
    static constexpr std::string_view shape = "dddd-dd-ddTdd:dd:dd";
    if (t.size() != shape.size()) return std::nullopt;
    for (size_t i = 0; i < t.size(); ++i)
        if (shape[i] == 'd' ? (t[i] < '0' || t[i] > '9') : t[i] != shape[i]) return std::nullopt;
    auto num = [&](size_t at, size_t n) {
        int v = 0;
        for (size_t i = at; i < at + n; ++i) v = v * 10 + (t[i] - '0');
        return v;
    };
    std::tm tm{};
    tm.tm_year = num(0, 4) - 1900;
    tm.tm_mon = num(5, 2) - 1;
    tm.tm_mday = num(8, 2);
    tm.tm_hour = num(11, 2);
    tm.tm_min = num(14, 2);
    tm.tm_sec = num(17, 2);
    if (tm.tm_mon > 11 || tm.tm_mday < 1 || tm.tm_mday > 31 || tm.tm_hour > 23 || tm.tm_min > 59 || tm.tm_sec > 60)
        return std::nullopt;
    tm.tm_isdst = -1;
    const std::time_t v = std::mktime(&tm);
    return static_cast<int64_t>(v) * 1000;
}

}  // namespace monitor
