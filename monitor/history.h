#pragma once
// Reading the stored history: one field's values over a time range, raw or
// as per-minute or per-hour roll-ups, and the alarm events. The subcommands
// `m520s-monitor history` and `m520s-monitor alarms` and the HTTP API call
// these same functions, so the two always agree. A HistoryReader has a
// read-only connection of its own and never writes.

#include <cstdint>
#include <memory>
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
// without an offset; local time without), "now", or relative to now
// ("-30m", "-24h", "-7d"). Milliseconds since the epoch; throws QueryError.
int64_t ParseTime(const std::string& text, int64_t now_ms);

enum class Step { Raw, Minute, Hour, Auto };
Step ParseStep(const std::string& text);  // "raw", "1m", "1h", "auto"; throws QueryError
const char* StepName(Step s);             // as the output names it

struct HistoryQuery {
    std::vector<std::string> fields;  // field paths: "11.channels[0].a"
    int64_t from_ms = 0;
    int64_t to_ms = 0;
    Step step = Step::Auto;  // Auto: raw up to 6 hours, minutes up to 10 days, hours beyond
};

struct HistoryTable {
    std::vector<std::string> fields;
    Step step = Step::Raw;  // never Auto: what was chosen
    // One row per time: for raw one value per field, for a step min, mean
    // and max per field (in that order); nullopt where a field has none.
    struct Row {
        int64_t time_ms = 0;
        std::vector<std::optional<double>> values;
    };
    std::vector<Row> rows;
};

struct AlarmQuery {
    int64_t from_ms = 0;
    int64_t to_ms = 0;
    bool active = false;  // the active alarms instead of the events
    std::optional<int> level;  // only this level
};

struct AlarmRow {
    std::string time;    // of the event; for an active alarm its "since"
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
    HistoryTable History(const HistoryQuery& q) const;
    std::vector<AlarmRow> Alarms(const AlarmQuery& q) const;

private:
    const model::Model& model;
    sqlite3* db = nullptr;
};

// As the subcommands print them and the API serves them. CSV has a header:
// for raw "time,<field>...", for a step "time,<field>:min,<field>:mean,
// <field>:max..."; times ISO 8601 local with the UTC offset. JSON:
// {"fields": [...], "step": ..., "rows": [[time, ...], ...]}.
std::string HistoryCsv(const HistoryTable& t);
std::string HistoryJson(const HistoryTable& t);
// The "alarm" line's fields, one row or object per event (or active alarm).
std::string AlarmsCsv(const std::vector<AlarmRow>& rows);
std::string AlarmsJson(const std::vector<AlarmRow>& rows);

}  // namespace monitor
