#include "monitor/rollup_book.h"

#include <algorithm>
#include <ctime>

#include "monitor/clock_text.h"
#include "monitor/sqlite_util.h"
#include "monitor/store.h"

namespace monitor {

using rollup::kHourMs;
using rollup::kMinuteMs;
using rollup::Period;

namespace {

int64_t floor_to(int64_t ms, int64_t step) {
    const int64_t q = ms / step;
    return (ms % step < 0 ? q - 1 : q) * step;
}

boost::posix_time::ptime local_ptime(int64_t ms) {
    const std::time_t t = static_cast<std::time_t>(floor_to(ms, 1000) / 1000);
    std::tm tm{};
    localtime_r(&t, &tm);
    return boost::posix_time::ptime_from_tm(tm);
}

}  // namespace

const rollup::Layout* RollupBook::layout(const std::string& device_type) const {
    return model ? rollup::LayoutFor(model->Unit(device_type)) : nullptr;
}

void RollupBook::Load(sqlite3* db) {
    // Where each unit's stored minutes end: the newest minutes tell (rows are
    // rolled up in the order they were stored; six hours cover a clock that
    // was set back a little).
    Stmt s(db, "SELECT device, device_type, max(last_id) FROM rollup WHERE step=?1 AND start_ms >= "
               "(SELECT max(start_ms) FROM rollup WHERE step=?1) - ?2 GROUP BY device, device_type");
    s.Int(1, kMinuteMs).Int(2, 6 * kHourMs);
    while (s.Step()) marks[{static_cast<uint32_t>(s.ColInt(0)), s.ColText(1)}] = s.ColInt(2);
    back_end = QueryInt(db, "SELECT max(id) FROM history");
    back_next = back_end;
    if (back_end == 0) return;
    back_next = 0;
    if (!marks.empty()) {
        back_next = INT64_MAX;
        for (const auto& [k, last] : marks) back_next = std::min(back_next, last);
    }
}

void RollupBook::add(std::map<Key, Acc>& in, int64_t id, int64_t ms, const Key& key, const unsigned char* data,
                     size_t n, bool fresh) {
    const int64_t start = floor_to(ms, kMinuteMs);
    auto it = in.find(key);
    if (it != in.end() && it->second.start != start) {
        closed.emplace_back(key, std::move(it->second));
        in.erase(it);
        it = in.end();
    }
    const rollup::Layout* lay = layout(key.second);
    if (it == in.end()) {
        Acc a;
        a.start = start;
        a.first_id = id;
        if (lay) a.period.emplace(*lay);
        it = in.emplace(key, std::move(a)).first;
    }
    Acc& acc = it->second;
    acc.last_id = id;
    if (!lay || !fresh) return;
    std::string error;
    if (const auto d = UnitData::Decode(lay->Kind(), data, n, error)) acc.period->Add(*d);
}

void RollupBook::Add(int64_t id, int64_t ms, const SnapshotRow& row) {
    add(open, id, ms, {row.device, row.device_type}, row.data.data(), row.data.size(), row.fresh);
}

void RollupBook::Close(int64_t before) {
    for (auto* m : {&open, &back_open})
        for (auto it = m->begin(); it != m->end();) {
            if (it->second.start + kMinuteMs <= before) {
                closed.emplace_back(it->first, std::move(it->second));
                it = m->erase(it);
            } else {
                ++it;
            }
        }
}

bool RollupBook::Pending(int64_t now) const {
    if (!closed.empty()) return true;
    for (const auto& [k, a] : open)
        if (a.start + kMinuteMs + kGraceMs <= now) return true;
    for (const auto& [k, start] : hours)
        if (start + kHourMs + kGraceMs <= now) return true;
    return false;
}

void RollupBook::write_minute(sqlite3* db, const Key& key, Acc& acc) {
    Stmt q(db,
           "SELECT id, first_id, last_id, data FROM rollup WHERE step=? AND start_ms=? AND device=? AND device_type=?");
    q.Int(1, kMinuteMs).Int(2, acc.start).Int(3, key.first).Text(4, key.second);
    int64_t row = 0;
    if (q.Step()) {
        row = q.ColInt(0);
        acc.first_id = std::min(acc.first_id, q.ColInt(1));
        acc.last_id = std::max(acc.last_id, q.ColInt(2));
        size_t n = 0;
        const unsigned char* p = q.ColBlob(3, n);
        std::string why;
        if (acc.period)
            if (auto stored = Period::Decode(*layout(key.second), p, n, why)) {
                stored->Merge(*acc.period);
                acc.period = std::move(stored);
            }
    }
    q.Reset();
    const std::vector<unsigned char> blob = acc.period ? acc.period->Encode() : std::vector<unsigned char>{};
    if (row) {
        Stmt u(db, "UPDATE rollup SET first_id=?, last_id=?, data=? WHERE id=?");
        u.Int(1, acc.first_id).Int(2, acc.last_id).Blob(3, blob).Int(4, row).Run();
    } else {
        Stmt i(db, "INSERT INTO rollup(step, start_ms, device, device_type, first_id, last_id, data) "
                   "VALUES(?,?,?,?,?,?,?)");
        i.Int(1, kMinuteMs).Int(2, acc.start).Int(3, key.first).Text(4, key.second).Int(5, acc.first_id);
        i.Int(6, acc.last_id).Blob(7, blob).Run();
    }
    hours.insert({key, floor_to(acc.start, kHourMs)});
    int64_t& mark = marks_writing[key];
    mark = std::max(mark, acc.last_id);
}

void RollupBook::write_hour(sqlite3* db, const Key& key, int64_t start) {
    Stmt q(db, "SELECT first_id, last_id, data FROM rollup WHERE step=? AND start_ms>=? AND start_ms<? AND device=? "
               "AND device_type=?");
    q.Int(1, kMinuteMs).Int(2, start).Int(3, start + kHourMs).Int(4, key.first).Text(5, key.second);
    const rollup::Layout* lay = layout(key.second);
    std::optional<Period> sum;
    if (lay) sum.emplace(*lay);
    int64_t first = INT64_MAX, last = 0;
    while (q.Step()) {
        first = std::min(first, q.ColInt(0));
        last = std::max(last, q.ColInt(1));
        size_t n = 0;
        const unsigned char* p = q.ColBlob(2, n);
        std::string why;
        if (lay)
            if (const auto m = Period::Decode(*lay, p, n, why)) sum->Merge(*m);
    }
    if (last == 0) return;
    Stmt i(db, "INSERT INTO rollup(step, start_ms, device, device_type, first_id, last_id, data) VALUES(?,?,?,?,?,?,?) "
               "ON CONFLICT(step, start_ms, device, device_type) DO UPDATE SET first_id=excluded.first_id, "
               "last_id=excluded.last_id, data=excluded.data");
    i.Int(1, kHourMs).Int(2, start).Int(3, key.first).Text(4, key.second).Int(5, first).Int(6, last);
    i.Blob(7, sum ? sum->Encode() : std::vector<unsigned char>{}).Run();
}

void RollupBook::Write(sqlite3* db, int64_t now, bool final) {
    Close(final ? INT64_MAX : now - kGraceMs);
    writing = std::move(closed);
    closed.clear();
    for (auto& [key, acc] : writing) write_minute(db, key, acc);
    for (const auto& h : hours)
        if (final || h.second + kHourMs + kGraceMs <= now) {
            write_hour(db, h.first, h.second);
            hours_writing.insert(h);
        }
}

void RollupBook::Commit() {
    writing.clear();
    for (const auto& h : hours_writing) hours.erase(h);
    hours_writing.clear();
    for (const auto& [key, last] : marks_writing) marks[key] = std::max(marks[key], last);
    marks_writing.clear();
}

void RollupBook::Rollback() {
    closed.insert(closed.begin(), std::make_move_iterator(writing.begin()), std::make_move_iterator(writing.end()));
    writing.clear();
    hours_writing.clear();
    marks_writing.clear();
}

bool RollupBook::Backfill(sqlite3* db, int64_t now, int rows) {
    if (back_next >= back_end && back_open.empty()) return false;
    Transaction t(db);
    Stmt s(db,
           "SELECT id, ms, time, device, device_type, data FROM history WHERE id > ? AND id <= ? ORDER BY id LIMIT ?");
    s.Int(1, back_next).Int(2, back_end).Int(3, rows);
    int seen = 0;
    while (s.Step()) {
        ++seen;
        back_next = s.ColInt(0);
        const Key key{static_cast<uint32_t>(s.ColInt(3)), s.ColText(4)};
        const auto mark = marks.find(key);
        if (mark != marks.end() && back_next <= mark->second) continue;
        const std::optional<int64_t> ms = s.ColNull(1) ? StoredTextMs(s.ColText(2)) : s.ColOptInt(1);
        if (!ms) continue;
        size_t n = 0;
        const unsigned char* p = s.ColBlob(5, n);
        // Whether it was fresh was not stored: the snapshot's stamp against the row's time tells.
        bool fresh = false;
        std::string error;
        if (const rollup::Layout* lay = layout(key.second))
            if (const auto d = UnitData::Decode(lay->Kind(), p, n, error)) fresh = d->FreshAt(local_ptime(*ms));
        add(back_open, back_next, *ms, key, p, n, fresh);
    }
    if (seen < rows) {
        back_next = back_end;
        for (auto& [key, acc] : back_open) closed.emplace_back(key, std::move(acc));
        back_open.clear();
    }
    try {
        Write(db, now, false);
        t.Commit();
    } catch (...) {
        Rollback();
        throw;
    }
    Commit();
    return true;
}

int64_t RollupBook::Covered() const {
    int64_t low = back_next < back_end ? back_next + 1 : INT64_MAX;
    for (const auto* m : {&open, &back_open})
        for (const auto& [k, a] : *m) low = std::min(low, a.first_id);
    for (const auto* v : {&closed, &writing})
        for (const auto& [k, a] : *v) low = std::min(low, a.first_id);
    return low;
}

}  // namespace monitor
