// History queries as the user writes them and as they are printed.

#include <cmath>
#include <ctime>
#include <string_view>

#include <fmt/format.h>

#include "monitor/clock_text.h"
#include "monitor/events.h"
#include "monitor/history.h"
#include "monitor/json_out.h"

namespace monitor {

namespace {

// Days since 1970-01-01 of a proleptic Gregorian date.
int64_t days_from_civil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

// Takes exactly n digits at pos.
bool digits(std::string_view s, size_t& pos, size_t n, int& v) {
    if (pos + n > s.size()) return false;
    v = 0;
    for (size_t i = 0; i < n; ++i) {
        const char c = s[pos + i];
        if (c < '0' || c > '9') return false;
        v = v * 10 + (c - '0');
    }
    pos += n;
    return true;
}

bool take(std::string_view s, size_t& pos, char c) {
    if (pos < s.size() && s[pos] == c) return ++pos, true;
    return false;
}

std::optional<int64_t> relative(std::string_view s, int64_t now) {
    if (s.size() < 3 || s[0] != '-') return std::nullopt;
    int64_t n = 0;
    for (size_t i = 1; i + 1 < s.size(); ++i) {
        if (s[i] < '0' || s[i] > '9' || n > 1'000'000'000) return std::nullopt;
        n = n * 10 + (s[i] - '0');
    }
    const char unit = s.back();
    const int64_t ms = unit == 's'   ? 1000
                       : unit == 'm' ? 60'000
                       : unit == 'h' ? 3'600'000
                       : unit == 'd' ? 86'400'000
                                     : 0;
    if (!ms) return std::nullopt;
    return now - n * ms;
}

// The time of day and the zone after a date: "THH:MM[:SS[.fff]][Z|±HH[:]MM]".
std::optional<int64_t> iso(std::string_view s) {
    size_t p = 0;
    int y, mo, d, h = 0, mi = 0, sec = 0, frac = 0;
    if (!digits(s, p, 4, y) || !take(s, p, '-') || !digits(s, p, 2, mo) || !take(s, p, '-') || !digits(s, p, 2, d))
        return std::nullopt;
    if (mo < 1 || mo > 12 || d < 1 || d > 31) return std::nullopt;
    if (p < s.size() && (s[p] == 'T' || s[p] == ' ')) {
        ++p;
        if (!digits(s, p, 2, h) || !take(s, p, ':') || !digits(s, p, 2, mi)) return std::nullopt;
        if (take(s, p, ':') && !digits(s, p, 2, sec)) return std::nullopt;
        if (take(s, p, '.')) {
            const size_t start = p;
            while (p < s.size() && s[p] >= '0' && s[p] <= '9' && p - start < 9) ++p;
            if (p == start) return std::nullopt;
            std::string ms(s.substr(start, p - start));
            ms.resize(3, '0');
            frac = std::stoi(ms);
        }
    }
    if (h > 23 || mi > 59 || sec > 60) return std::nullopt;
    const int64_t day_ms = ((h * 60LL + mi) * 60 + sec) * 1000 + frac;
    if (p == s.size()) {
        std::tm tm{};
        tm.tm_year = y - 1900;
        tm.tm_mon = mo - 1;
        tm.tm_mday = d;
        tm.tm_isdst = -1;
        return static_cast<int64_t>(std::mktime(&tm)) * 1000 + day_ms;
    }
    int sign = 0, oh = 0, om = 0;
    if (take(s, p, 'Z')) {
    } else if (s[p] == '+' || s[p] == '-') {
        sign = s[p++] == '-' ? -1 : 1;
        if (!digits(s, p, 2, oh)) return std::nullopt;
        take(s, p, ':');
        if (!digits(s, p, 2, om) || oh > 23 || om > 59) return std::nullopt;
    }
    if (p != s.size()) return std::nullopt;
    return days_from_civil(y, static_cast<unsigned>(mo), static_cast<unsigned>(d)) * 86'400'000 + day_ms -
           sign * (oh * 60LL + om) * 60'000;
}

void number(std::string& out, double v, bool whole) {
    if (whole && v == std::floor(v) && std::fabs(v) < 9e15) {
        out += fmt::format("{}", static_cast<int64_t>(v));
        return;
    }
    // Stored values are floats: written as the cycle line writes a float.
    const float f = static_cast<float>(v);
    if (static_cast<double>(f) == v)
        AppendFloat(out, f);
    else
        AppendDouble(out, v);
}

bool whole_at(const HistoryTable& t, size_t column) {
    const size_t per = t.step == Step::Raw ? 1 : 3;
    const size_t field = column / per;
    // A mean is never whole.
    return field < t.info.size() && t.info[field].whole && !(per == 3 && column % 3 == 1);
}

std::string csv_text(const std::string& s) {
    if (s.find_first_of(",\"\r\n") == std::string::npos) return s;
    std::string out = "\"";
    for (char c : s) {
        if (c == '"') out += '"';
        out += c;
    }
    return out + "\"";
}

}  // namespace

int64_t ParseTime(const std::string& text, int64_t now_ms) {
    if (text == "now") return now_ms;
    if (auto r = relative(text, now_ms)) return *r;
    if (auto t = iso(text)) return *t;
    throw QueryError(fmt::format("time \"{}\": expected ISO 8601 (2026-12-09T01:00:00, local, or with a UTC offset), "
                                 "now, or a time before now such as -30m, -24h, -7d",
                                 text));
}

Step ParseStep(const std::string& text) {
    if (text == "raw") return Step::Raw;
    if (text == "1m") return Step::Minute;
    if (text == "1h") return Step::Hour;
    if (text == "auto") return Step::Auto;
    throw QueryError(fmt::format("step \"{}\": expected raw, 1m, 1h or auto", text));
}

const char* StepName(Step s) {
    switch (s) {
        case Step::Raw: return "raw";
        case Step::Minute: return "1m";
        case Step::Hour: return "1h";
        case Step::Auto: break;
    }
    return "auto";
}

std::string HistoryCsv(const HistoryTable& t) {
    std::string out = "time";
    for (const auto& f : t.fields) {
        if (t.step == Step::Raw)
            out += "," + csv_text(f);
        else
            for (const char* part : {":min", ":mean", ":max"}) out += "," + csv_text(f + part);
    }
    out += "\n";
    for (const auto& r : t.rows) {
        out += OffsetText(r.time_ms);
        for (size_t i = 0; i < r.values.size(); ++i) {
            out += ',';
            if (r.values[i]) number(out, *r.values[i], whole_at(t, i));
        }
        out += '\n';
    }
    return out;
}

std::string HistoryJson(const HistoryTable& t) {
    std::string out;
    JsonOut o(out);
    o.Begin().Key("fields").List();
    for (const auto& f : t.fields) o.Str(f);
    o.EndList().Key("rows").List();
    for (const auto& r : t.rows) {
        o.List().Str(OffsetText(r.time_ms));
        for (size_t i = 0; i < r.values.size(); ++i) {
            if (!r.values[i]) {
                o.Null();
                continue;
            }
            std::string n;
            number(n, *r.values[i], whole_at(t, i));
            o.Raw(n);
        }
        o.EndList();
    }
    o.EndList().Field("step", StepName(t.step)).End();
    return out + "\n";
}

std::string AlarmsCsv(const std::vector<AlarmRow>& rows) {
    std::string out = "time,action,device,key,detail,code,name,level,state,state_text,label\n";
    for (const auto& r : rows) {
        const Alarm& a = r.alarm;
        out += fmt::format("{},{},{},{},{},{},{},{},{},{},{}\n", csv_text(r.time), csv_text(r.action), a.device,
                           csv_text(a.key), csv_text(a.detail), csv_text(a.code), csv_text(a.name), a.level, a.state,
                           csv_text(a.state_text), csv_text(a.label));
    }
    return out;
}

std::string AlarmsJson(const std::vector<AlarmRow>& rows) {
    std::string out;
    JsonOut o(out);
    o.List();
    for (const auto& r : rows) {
        const Alarm& a = r.alarm;
        if (r.action.empty()) {
            WriteActiveAlarm(o, a);
            continue;
        }
        o.Begin().Field("action", r.action).Field("code", a.code).Field("detail", a.detail).Field("device", a.device);
        o.Field("key", a.key).Field("label", a.label).Field("level", int64_t{a.level}).Field("name", a.name);
        o.Field("state", int64_t{a.state}).Field("state_text", a.state_text).Field("time", r.time).End();
    }
    o.EndList();
    return out + "\n";
}

}  // namespace monitor
