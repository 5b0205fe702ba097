#pragma once
// Reading the stored history: one field's values over a time range, raw or
// as per-minute or per-hour roll-ups, and the alarm events. The subcommands
// `m520s-monitor history` and `m520s-monitor alarms` and the HTTP API call
// these same functions, so the two always agree. A HistoryReader has a
// read-only connection of its own and never writes.

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "monitor/alarm_book.h"
#include "monitor/models/model.h"

struct sqlite3;

namespace monitor {

// A query the user got wrong (an unknown field, a time that is none): the
// message names it. The subcommands exit 2 with it, the API answers 400.
class QueryError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Times as the user writes them: ISO 8601 ("2026-12-09T01:00:00", with or
// without an offset; local time without; "2026-12-09" is local midnight,
// seconds and ".fff" may be left out, a space may stand for the "T"),
// "now", or relative to now ("-45s", "-30m", "-24h", "-7d").
// Milliseconds since the epoch; throws QueryError.
int64_t ParseTime(const std::string& text, int64_t now_ms);

// Where a query without a start begins: the subcommands and the HTTP API
// answer the same question the same way.
inline constexpr const char* kHistoryFrom = "-24h";
inline constexpr const char* kAlarmsFrom = "-30d";

enum class Step { Raw, Minute, Hour, Auto };
Step ParseStep(const std::string& text);  // "raw", "1m", "1h", "auto"; throws QueryError
const char* StepName(Step s);             // as the output names it

// What Auto chooses for a range: raw up to 6 hours, minutes up to 10 days,
// hours beyond.
Step AutoStep(int64_t from_ms, int64_t to_ms);

struct HistoryQuery {
    std::vector<std::string> fields;  // field paths: "11.channels[0].a"
    int64_t from_ms = 0;
    int64_t to_ms = 0;
    Step step = Step::Auto;  // Auto: raw up to 6 hours, minutes up to 10 days, hours beyond
    // More rows than this is a QueryError (0: no limit), so a server can
    // refuse a week of raw cycles instead of building it.
    size_t max_rows = 0;
};

// What the catalogue says of a queried field.
struct FieldInfo {
    std::string label;  // "AC panel 11, channel 1, input voltage AB/A"
    std::string unit;   // "V", or "" for none
    model::Kind kind = model::Kind::Measurement;
    int precision = 0;
    bool whole = false;  // its values are integers (states, counts, bytes)
};

struct HistoryTable {
    std::vector<std::string> fields;
    std::vector<FieldInfo> info;  // one per field
    Step step = Step::Raw;  // never Auto: what was chosen
    // One row per time: for raw one value per field, for a step min, mean
    // and max per field (in that order); nullopt where a field has none.
    // States and counts keep only their max: min and mean are nullopt.
    // A step row's time is the start of its minute or hour; a raw row's is
    // its cycle's.
    struct Row {
        int64_t time_ms = 0;
        std::vector<std::optional<double>> values;
    };
    std::vector<Row> rows;
};

struct AlarmQuery {
    int64_t from_ms = 0;
    int64_t to_ms = 0;
    bool active = false;  // the active alarms instead of the events (the range is not applied)
    std::optional<int> level;  // only this level
};

struct AlarmRow {
    std::string time;    // of the event; for an active alarm its "since"; ISO 8601 with the UTC offset
    int64_t time_ms = 0;
    std::string action;  // "raise" or "clear"; "" for an active alarm
    Alarm alarm;         // with its label
};

class HistoryReader {
public:
    // Opens the database read-only; throws StoreError when it cannot.
    HistoryReader(const std::string& path, const model::Model& model);
    ~HistoryReader();
    HistoryReader(const HistoryReader&) = delete;
    HistoryReader& operator=(const HistoryReader&) = delete;

    // Throws QueryError for an unknown field (naming it) or a bad range.
    // Thread-safe: calls run one at a time, each on one snapshot of the file.
    HistoryTable History(const HistoryQuery& q) const;
    std::vector<AlarmRow> Alarms(const AlarmQuery& q) const;

private:
    struct Resolved;
    Resolved resolve(const std::string& path) const;
    std::string device_type(uint32_t device) const;
    void raw(const std::vector<Resolved>& fields, const HistoryQuery& q, HistoryTable& t) const;
    void stepped(const std::vector<Resolved>& fields, const HistoryQuery& q, HistoryTable& t) const;
    std::string label(const Alarm& a) const;

    const model::Model& model;
    sqlite3* db = nullptr;
    mutable std::mutex lock;
};

// As the subcommands print them and the API serves them. CSV has a header:
// for raw "time,<field>...", for a step "time,<field>:min,<field>:mean,
// <field>:max..."; times ISO 8601 local with the UTC offset; a value that
// is not there is empty. JSON: {"fields": [...], "rows": [[time, ...],
// ...], "step": ...}, a value not there null. Numbers are written as the
// "cycle" line writes them.
std::string HistoryCsv(const HistoryTable& t);
std::string HistoryJson(const HistoryTable& t);
// The "alarm" line's fields, one row or object per event (or active alarm).
// CSV: time,action,device,key,detail,code,name,level,state,state_text,label.
// JSON: a list of objects; an event's has "action" and "time", an active
// alarm's "since" instead, as the sinks publish the active alarms.
std::string AlarmsCsv(const std::vector<AlarmRow>& rows);
std::string AlarmsJson(const std::vector<AlarmRow>& rows);

}  // namespace monitor
