#include "monitor/history.h"

#include <algorithm>
#include <map>
#include <set>

#include <fmt/format.h>

#include "monitor/clock_text.h"
#include "monitor/models/catalogue.h"
#include "monitor/rollup.h"
#include "monitor/sqlite_util.h"
#include "monitor/store_schema.h"

namespace monitor {

namespace {

constexpr int64_t kSixHoursMs = 6 * 3'600'000LL;
constexpr int64_t kTenDaysMs = 10 * 86'400'000LL;
// When a row was stored: its "ms", or a version-1 row's local "time" text.
constexpr const char* kRowMs = "coalesce(ms, CAST(unixepoch(time, 'utc') AS INTEGER) * 1000)";

// A read transaction: every statement of one query sees the same file.
struct ReadSnapshot {
    sqlite3* db;
    explicit ReadSnapshot(sqlite3* d) : db(d) { Exec(db, "BEGIN"); }
    ~ReadSnapshot() { sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr); }
};

int64_t floor_to(int64_t ms, int64_t step) {
    const int64_t q = ms / step;
    return (ms % step < 0 ? q - 1 : q) * step;
}

using Rows = std::map<int64_t, std::vector<std::optional<double>>>;

QueryError too_many(size_t limit) {
    return QueryError(fmt::format("more than {} rows: choose a shorter range or a coarser step", limit));
}

std::vector<std::optional<double>>& row_at(Rows& rows, int64_t t, size_t width) {
    auto& r = rows[t];
    if (r.empty()) r.resize(width);
    return r;
}

}  // namespace

struct HistoryReader::Resolved {
    std::string path;
    FieldEntry entry;
    std::string device_type;
    const rollup::Layout* layout = nullptr;
    size_t slot = SIZE_MAX;
};

Step AutoStep(int64_t from, int64_t to) {
    const int64_t span = to - from;
    return span <= kSixHoursMs ? Step::Raw : span <= kTenDaysMs ? Step::Minute : Step::Hour;
}

HistoryReader::HistoryReader(const std::string& path, const model::Model& m)
    : model(m), db(schema::OpenForReading(path)) {}

HistoryReader::~HistoryReader() { sqlite3_close(db); }

std::string HistoryReader::device_type(uint32_t device) const {
    // Every child has its cache row after the first commit; the hours know
    // the units of older days.
    Stmt cache(db, "SELECT device_type FROM cache WHERE device=? ORDER BY time DESC LIMIT 1");
    cache.Int(1, device);
    if (cache.Step()) return cache.ColText(0);
    Stmt hours(db, "SELECT device_type FROM rollup WHERE step=? AND device=? ORDER BY start_ms DESC LIMIT 1");
    hours.Int(1, rollup::kHourMs).Int(2, device);
    return hours.Step() ? hours.ColText(0) : "";
}

HistoryReader::Resolved HistoryReader::resolve(const std::string& path) const {
    const auto parts = SplitPath(path);
    if (!parts)
        throw QueryError(fmt::format("unknown field {}: a field is a device id, a dot and the value's path in "
                                     "the \"cycle\" line, such as 11.channels[0].a",
                                     path));
    Resolved r;
    r.path = path;
    r.device_type = device_type(parts->device);
    if (r.device_type.empty())
        throw QueryError(fmt::format("unknown field {}: no device {} in this database", path, parts->device));
    const model::UnitKind* kind = model.Unit(r.device_type);
    if (!kind)
        throw QueryError(fmt::format("unknown field {}: device {} is a {}, which model {} does not know", path,
                                     parts->device, r.device_type, model.Name()));
    const auto entry = ResolvePath(*kind, parts->device, parts->rest);
    if (!entry)
        throw QueryError(fmt::format("unknown field {}: {} {} has no value {}", path, kind->short_name,
                                     parts->device, parts->rest));
    r.entry = *entry;
    r.layout = rollup::LayoutFor(kind);
    r.slot = r.layout->SlotOf(*entry->field, entry->item, entry->element);
    return r;
}

void HistoryReader::raw(const std::vector<Resolved>& fields, const HistoryQuery& q, HistoryTable& t) const {
    Rows rows;
    std::set<std::pair<uint32_t, std::string>> units;
    for (const auto& f : fields) units.insert({f.entry.device, f.device_type});
    for (const auto& [device, type] : units) {
        const model::UnitKind& kind = *model.Unit(type);
        // The minutes know which rows they sum up; rows not yet in a minute
        // come after the newest one's.
        Stmt span(db, "SELECT min(first_id), max(last_id) FROM rollup WHERE step=? AND start_ms>=? AND start_ms<=? "
                      "AND device=? AND device_type=?");
        span.Int(1, rollup::kMinuteMs).Int(2, floor_to(q.from_ms, rollup::kMinuteMs)).Int(3, q.to_ms);
        span.Int(4, device).Text(5, type);
        const std::optional<int64_t> lo = span.Step() ? span.ColOptInt(0) : std::nullopt;
        const int64_t hi = lo ? span.ColInt(1) : 0;
        Stmt tail(db, "SELECT last_id FROM rollup WHERE step=? AND device=? AND device_type=? ORDER BY start_ms DESC "
                      "LIMIT 1");
        tail.Int(1, rollup::kMinuteMs).Int(2, device).Text(3, type);
        const int64_t after = tail.Step() ? tail.ColInt(0) : 0;
        // Two ranges of ids, each a range scan of the table (an OR of them is not).
        const int64_t tail_from = std::max(after, lo ? hi : 0) + 1;
        Stmt s(db, (std::string("SELECT ") + kRowMs +
                    ", data FROM history WHERE id BETWEEN ? AND ? AND device=? AND device_type=? ORDER BY id")
                       .c_str());
        for (const auto& [first, last] : {std::pair<int64_t, int64_t>{lo.value_or(1), lo ? hi : 0},
                                          std::pair<int64_t, int64_t>{tail_from, INT64_MAX}}) {
            s.Int(1, first).Int(2, last).Int(3, device).Text(4, type);
            while (s.Step()) {
                const int64_t ms = s.ColInt(0);
                if (s.ColNull(0) || ms < q.from_ms || ms > q.to_ms) continue;
                size_t n = 0;
                const unsigned char* p = s.ColBlob(1, n);
                std::string why;
                const auto d = UnitData::Decode(kind, p, n, why);
                auto& row = row_at(rows, ms, fields.size());
                if (q.max_rows && rows.size() > q.max_rows)
                    throw too_many(q.max_rows);
                if (!d) continue;
                for (size_t i = 0; i < fields.size(); ++i)
                    if (fields[i].entry.device == device && fields[i].device_type == type)
                        row[i] = d->Value(*fields[i].entry.field, fields[i].entry.item, fields[i].entry.element);
            }
            s.Reset();
        }
    }
    for (auto& [ms, v] : rows) t.rows.push_back({ms, std::move(v)});
}

void HistoryReader::stepped(const std::vector<Resolved>& fields, const HistoryQuery& q, HistoryTable& t) const {
    const int64_t step = t.step == Step::Minute ? rollup::kMinuteMs : rollup::kHourMs;
    Rows rows;
    std::set<std::pair<uint32_t, std::string>> units;
    for (const auto& f : fields) units.insert({f.entry.device, f.device_type});
    for (const auto& [device, type] : units) {
        Stmt s(db, "SELECT start_ms, data FROM rollup WHERE step=? AND start_ms>=? AND start_ms<=? AND device=? AND "
                   "device_type=? ORDER BY start_ms");
        s.Int(1, step).Int(2, floor_to(q.from_ms, step)).Int(3, q.to_ms).Int(4, device).Text(5, type);
        const rollup::Layout& layout = *rollup::LayoutFor(model.Unit(type));
        while (s.Step()) {
            size_t n = 0;
            const unsigned char* p = s.ColBlob(1, n);
            std::string why;
            // A blob that is not what this catalogue writes is no value, not an error.
            const auto period = rollup::Period::Decode(layout, p, n, why);
            auto& row = row_at(rows, s.ColInt(0), 3 * fields.size());
            if (q.max_rows && rows.size() > q.max_rows)
                throw too_many(q.max_rows);
            if (!period) continue;
            for (size_t i = 0; i < fields.size(); ++i) {
                if (fields[i].entry.device != device || fields[i].device_type != type) continue;
                if (const auto f = period->Get(fields[i].slot)) {
                    row[3 * i] = f->min;
                    row[3 * i + 1] = f->mean;
                    row[3 * i + 2] = f->max;
                }
            }
        }
    }
    for (auto& [ms, v] : rows) t.rows.push_back({ms, std::move(v)});
}

HistoryTable HistoryReader::History(const HistoryQuery& q) const {
    if (q.fields.empty()) throw QueryError("no field given: name at least one, such as 11.channels[0].a");
    if (q.from_ms > q.to_ms)
        throw QueryError(fmt::format("time range: from {} is after to {}", OffsetText(q.from_ms), OffsetText(q.to_ms)));
    std::lock_guard<std::mutex> g(lock);
    ReadSnapshot snap(db);
    std::vector<Resolved> fields;
    HistoryTable t;
    for (const auto& path : q.fields) {
        fields.push_back(resolve(path));
        const model::Field& f = *fields.back().entry.field;
        t.fields.push_back(path);
        t.info.push_back({fields.back().entry.label, f.unit, f.kind, f.precision, f.scalar != model::Scalar::F32});
    }
    t.step = q.step == Step::Auto ? AutoStep(q.from_ms, q.to_ms) : q.step;
    if (t.step == Step::Raw)
        raw(fields, q, t);
    else
        stepped(fields, q, t);
    return t;
}

std::string HistoryReader::label(const Alarm& a) const {
    const std::string type = device_type(a.device);
    return model.AlarmLabel(FactsOf(a, type));
}

std::vector<AlarmRow> HistoryReader::Alarms(const AlarmQuery& q) const {
    if (!q.active && q.from_ms > q.to_ms)
        throw QueryError(fmt::format("time range: from {} is after to {}", OffsetText(q.from_ms), OffsetText(q.to_ms)));
    std::lock_guard<std::mutex> g(lock);
    ReadSnapshot snap(db);
    const std::string cols = "device, key, detail, code, name, level, state, state_text";
    const std::string sql =
        q.active ? "SELECT " + cols + ", since, '', NULL FROM active_alarm ORDER BY device, key, detail"
                 : "SELECT " + cols + ", time, action, " + kRowMs +
                       " AS t FROM alarm_event WHERE t BETWEEN ?1 AND ?2 ORDER BY t, id";
    Stmt s(db, sql.c_str());
    if (!q.active) s.Int(1, q.from_ms).Int(2, q.to_ms);
    std::vector<AlarmRow> out;
    while (s.Step()) {
        AlarmRow r;
        Alarm& a = r.alarm;
        a.device = static_cast<uint32_t>(s.ColInt(0));
        a.key = s.ColText(1);
        a.detail = s.ColText(2);
        a.code = s.ColText(3);
        a.name = s.ColText(4);
        a.level = static_cast<int32_t>(s.ColInt(5));
        a.state = static_cast<int>(s.ColInt(6));
        a.state_text = s.ColText(7);
        if (q.level && a.level != *q.level) continue;
        const std::string stored = s.ColText(8);
        r.action = s.ColText(9);
        const std::optional<int64_t> ms = s.ColNull(10) ? StoredTextMs(stored) : s.ColOptInt(10);
        r.time_ms = ms.value_or(0);
        r.time = ms ? OffsetText(*ms) : stored;
        if (q.active) a.since = r.time;
        a.label = label(a);
        out.push_back(std::move(r));
    }
    return out;
}

}  // namespace monitor
