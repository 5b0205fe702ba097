// The storage thread: commits the waiting batches when they are due,
// retries a failing database with back-off, and in between writes
// roll-ups, prunes and shrinks the file one short step at a time.

#include <sqlite3.h>

#include <algorithm>
#include <chrono>

#include <fmt/format.h>

#include "monitor/checkpointer.h"
#include "monitor/rollup_book.h"
#include "monitor/store.h"

namespace monitor {

namespace {

using Steady = std::chrono::steady_clock;

int64_t steady_us() {
    return std::chrono::duration_cast<std::chrono::microseconds>(Steady::now().time_since_epoch()).count();
}

constexpr int kStopTries = 3;
constexpr int kCheckpointFrames = 4096;  // 4 MB of journal at 1 KB pages
// Only a restart reads the snapshots; after a crash it finds them at most this old.
constexpr int64_t kCacheEveryMs = 600'000;
constexpr size_t kGroupBytes = 64 * 1024;
constexpr int kRawChunk = 1000, kRollupChunk = 500, kBackfillChunk = 2000;
// A page given back costs a walk of the free list, so on a large file with
// much freed a step of a fixed size can take seconds: its size follows time.
constexpr int kShrinkMaxPages = 256;
constexpr int64_t kShrinkAimUs = 10'000;
// While cycles come, closed minutes and aged rows go with their commits:
// each commit of its own rewrites the same handful of pages once more, and
// on flash that costs more than the rows. A step of its own is for a lull
// (no cycle for a commit window and this) or for a backlog older than
// kBacklogMs past its age, which the commits alone would take days to clear.
constexpr int64_t kQuietMs = 10'000;
constexpr int64_t kBacklogMs = 600'000;

}  // namespace

struct Store::Work {
    enum Kind { Commit, Maintain, Exit } kind = Exit;
    std::vector<Queued> group;
};

void Store::run() {
    Work w;
    std::unique_lock<std::mutex> lock(mutex);
    while (next(lock, w)) {
        lock.unlock();
        if (w.kind == Work::Commit) {
            commit(w.group);
            // Right after the commit: writes in a row would leave no maintenance turn.
            tend_journal();
        } else {
            const bool did = maintain();
            lock.lock();
            // Nothing to do: sleep until a batch comes, the oldest one's
            // window ends, or a second passes (minutes close meanwhile).
            int64_t wait_ms = 1000;
            if (!queue.empty()) wait_ms = std::min(wait_ms, queue.front().arrived + opts.commit_window_ms - now());
            if (!did && !stopping && !flush && wait_ms > 0) wake.wait_for(lock, std::chrono::milliseconds(wait_ms));
            lock.unlock();
        }
        lock.lock();
    }
    lock.unlock();
    finish();
}

// Under the lock: what to do next; false to stop.
bool Store::next(std::unique_lock<std::mutex>& lock, Work& w) {
    for (;;) {
        const int64_t t = now();
        overflow(t);
        if (page_limit_changed) {
            page_limit_changed = false;
            lock.unlock();
            apply_page_limit();
            lock.lock();
        }
        const int64_t wait_us = failures ? retry_at - steady_us() : 0;
        if (stopping && queue.empty()) return false;
        if (wait_us > 0) {
            // A stop shortens nothing: the tries left still get their chance.
            if (stopping)
                wake.wait_for(lock, std::chrono::microseconds(wait_us));
            else
                wake.wait_for(lock, std::chrono::microseconds(wait_us),
                              [this] { return stopping || page_limit_changed; });
            continue;
        }
        bool due = stopping || flush || failures > 0;
        size_t bytes = 0;
        for (const auto& q : queue) {
            bytes += q.bytes;
            due = due || !q.batch.alarms.empty();
        }
        due = due || bytes >= opts.commit_bytes;
        // The first cycle of a run goes out at once: the site shows values
        // as soon as it has them, not a commit window later.
        due = due || committed == 0;
        due = due || (!queue.empty() && t - queue.front().arrived >= opts.commit_window_ms);
        if (due && !queue.empty()) {
            // A bounded group: a backlog is written in several commits, each
            // with the budget made good before it.
            w.kind = Work::Commit;
            w.group.clear();
            size_t taken = 0;
            while (!queue.empty() && (w.group.empty() || taken + queue.front().bytes <= kGroupBytes)) {
                taken += queue.front().bytes;
                w.group.push_back(std::move(queue.front()));
                queue.pop_front();
            }
            in_flight.clear();
            for (const auto& q : w.group) in_flight.push_back({q.tag, q.arrived, q.bytes, q.cycle, {}});
            flush = false;
            return true;
        }
        flush = false;
        if (stopping) return false;
        w.kind = Work::Maintain;
        return true;
    }
}

void Store::write_batches(std::vector<Queued>& group, std::vector<std::vector<int64_t>>& ids) {
    Stmt hist(db, "INSERT INTO history(time, device, device_type, type, data, ms) VALUES(?,?,?,?,?,?)");
    Stmt ev(db,
            "INSERT INTO alarm_event(time, device, key, detail, code, name, level, action, state, state_text, ms) "
            "VALUES(?,?,?,?,?,?,?,?,?,?,?)");
    Stmt up(db,
            "INSERT OR REPLACE INTO active_alarm(device, key, detail, code, name, level, state, state_text, since) "
            "VALUES(?,?,?,?,?,?,?,?,?)");
    Stmt del(db, "DELETE FROM active_alarm WHERE device=? AND key=? AND detail=?");
    for (auto& q : group) {
        Batch& b = q.batch;
        if (b.ms == 0) b.ms = now();
        ids.emplace_back();
        for (const auto& r : b.history) {
            hist.Text(1, r.time).Int(2, r.device).Text(3, r.device_type).Int(4, r.type).Blob(5, r.data).Int(6, b.ms);
            hist.Run();
            ids.back().push_back(sqlite3_last_insert_rowid(db));
        }
        for (const auto& c : b.alarms) {
            const Alarm& a = c.alarm;
            if (c.action != "update") {
                ev.Text(1, b.time).Int(2, a.device).Text(3, a.key).Text(4, a.detail).Text(5, a.code).Text(6, a.name);
                ev.Int(7, a.level).Text(8, c.action).Int(9, a.state).Text(10, a.state_text).Int(11, b.ms).Run();
            }
            if (c.action == "clear") {
                del.Int(1, a.device).Text(2, a.key).Text(3, a.detail).Run();
            } else {
                up.Int(1, a.device).Text(2, a.key).Text(3, a.detail).Text(4, a.code).Text(5, a.name);
                up.Int(6, a.level).Int(7, a.state).Text(8, a.state_text).Text(9, a.since).Run();
            }
        }
    }
}

void Store::write_cache() {
    std::vector<SnapshotRow> rows;
    {
        std::lock_guard<std::mutex> lock(mutex);
        for (const auto& [k, r] : cache) rows.push_back(r);
    }
    Stmt s(db, "INSERT OR REPLACE INTO cache(device, device_type, type, time, data) VALUES(?,?,?,?,?)");
    for (const auto& r : rows)
        s.Int(1, r.device).Text(2, r.device_type).Int(3, r.type).Text(4, r.time).Blob(5, r.data).Run();
}

void Store::commit(std::vector<Queued>& group) {
    const int64_t t0 = steady_us(), t = now();
    bool cache_due;
    {
        std::lock_guard<std::mutex> lock(mutex);
        cache_due = cache_dirty && (stopping || cache_written < 0 || t - cache_written >= kCacheEveryMs);
        if (cache_due) cache_dirty = false;
    }
    std::vector<std::vector<int64_t>> ids;
    try {
        enforce_budget();
        Transaction tx(db);
        rollups->Write(db, t, false);
        write_batches(group, ids);
        size_t rows = 0;
        for (const auto& q : group) rows += q.batch.history.size();
        prune_aged(t, static_cast<int>(std::min<size_t>(rows, kRawChunk)));
        if (cache_due) write_cache();
        tx.Commit();
        rollups->Commit();
    } catch (const StoreError& e) {
        rollups->Rollback();
        std::lock_guard<std::mutex> lock(mutex);
        if (cache_due) cache_dirty = true;
        // Back in front of what came meanwhile, in order.
        for (auto it = group.rbegin(); it != group.rend(); ++it) queue.push_front(std::move(*it));
        in_flight.clear();
        group.clear();
        failed(e.what());
        return;
    }
    if (cache_due) cache_written = t;
    for (size_t b = 0; b < group.size(); ++b)
        for (size_t r = 0; r < group[b].batch.history.size(); ++r)
            rollups->Add(ids[b][r], group[b].batch.ms, group[b].batch.history[r]);
    const int64_t took = steady_us() - t0;
    std::lock_guard<std::mutex> lock(mutex);
    committed = group.back().tag;
    in_flight.clear();
    ++stats.commits;
    stats.batches += group.size();
    stats.longest_commit_us = std::max(stats.longest_commit_us, took);
    if (pruning) stats.longest_commit_pruning_us = std::max(stats.longest_commit_pruning_us, took);
    recovered();
    group.clear();
    notify();
}

// Under the lock.
void Store::recovered() {
    if (!failures) return;
    notes.push_back(fmt::format("database {}: writing again after {} failed tries", path, failures));
    failures = 0;
    status.ok = true;
    status.reason.clear();
}

// Under the lock.
void Store::failed(const std::string& why) {
    ++failures;
    const bool news = status.ok || status.reason != why;
    status.ok = false;
    status.reason = why;
    const bool give_up = stopping && failures >= kStopTries;
    if (news || give_up)
        errors.push_back(fmt::format("database {}: {} ({}{})", path, why, give_up ? "given up at stop" : "retrying",
                                     news && !give_up ? " with back-off" : ""));
    // 0.25 s doubling up to 10 s; quicker at stop, where the time is short.
    const int64_t backoff =
        stopping ? 250LL << std::min(failures, 3) : std::min<int64_t>(10'000, 250LL << std::min(failures - 1, 6));
    retry_at = steady_us() + backoff * 1000;
    if (give_up) {
        for (const auto& q : queue) {
            lost.cycles += !q.batch.history.empty();
            for (const auto& c : q.batch.alarms) lost.alarm_changes += c.action != "update";
        }
        lost.reason = why;
        queue.clear();
    }
    notify();
}

// The checkpointer copies the journal back meanwhile. The journal starts
// over only if the next write finds all of it copied; what was written while
// the checkpointer ran, this thread copies once it is done, which is little.
// Without a checkpointer, or with one that does not keep up, this thread
// does all of it. True when it copied here.
bool Store::tend_journal() {
    if (wal_frames < ckpt_asked) ckpt_asked = 0;  // it started over
    bool own = false;
    if (ckpt_asked > 0) {
        const bool running = checkpointer->Stats().n < ckpt_requests;
        own = !running || wal_frames >= 2 * kCheckpointFrames;
        step_kind = running ? "checkpoint" : "checkpoint_rest";
    } else if (wal_frames >= kCheckpointFrames) {
        own = !checkpointer || !checkpointer->Request();
        ckpt_requests += !own;
        ckpt_asked = own ? 0 : wal_frames;
        step_kind = "checkpoint";
    }
    if (!own) return false;
    const int64_t t0 = steady_us();
    sqlite3_wal_checkpoint_v2(db, nullptr, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
    wal_frames = 0;
    ckpt_asked = 0;
    std::lock_guard<std::mutex> lock(mutex);
    stats.longest_checkpoint_us = std::max(stats.longest_checkpoint_us, steady_us() - t0);
    count_step(step_kind, steady_us() - t0);
    return true;
}

bool Store::maintain() {
    const int64_t t0 = steady_us(), t = now();
    try {
        // The journal first: a long one slows every commit and every reader.
        if (tend_journal()) return true;
        bool lull;
        {
            std::lock_guard<std::mutex> lock(mutex);
            lull = queue.empty() && t - last_cycle >= opts.commit_window_ms + kQuietMs;
        }
        // Closed minutes go with the next commit of cycles: one commit, not two.
        if (lull && rollups->Pending(t)) {
            step_kind = "rollups";
            Transaction tx(db);
            rollups->Write(db, t, false);
            tx.Commit();
            rollups->Commit();
        } else if (step_kind = "backfill"; !rollups->Backfill(db, t, kBackfillChunk) && !prune_step(t, lull)) {
            return false;
        }
    } catch (const StoreError& e) {
        rollups->Rollback();
        std::lock_guard<std::mutex> lock(mutex);
        failed(e.what());
        return false;
    }
    std::lock_guard<std::mutex> lock(mutex);
    recovered();
    ++stats.steps;
    stats.longest_step_us = std::max(stats.longest_step_us, steady_us() - t0);
    count_step(step_kind, steady_us() - t0);
    return true;
}

void Store::count_step(const char* kind, int64_t us) {
    StoreStats::StepTimes& s = stats.by_kind[kind];
    ++s.n;
    s.over_50ms += us > 50'000;
    s.longest_us = std::max(s.longest_us, us);
}

// The size budget is a hard limit: before a commit adds pages, the oldest
// history makes room, however busy the thread is.
void Store::enforce_budget() {
    using namespace retention;
    for (int chunk = 0; chunk < 8; ++chunk) {
        const Pages pages = Measure(db);
        const int64_t budget = BudgetPages(opts.retention, pages.size);
        if (pages.Used() <= budget - Headroom(budget) || PruneForBudget(db, kRawChunk) == 0) return;
        pruning = true;
    }
}

// Once the history is full, each commit takes away up to twice as many aged
// rows as it adds, and the next commits reuse their pages: the file keeps its
// size however little time is left between commits for the maintenance
// steps, which take a backlog.
void Store::prune_aged(int64_t t, int rows) {
    using namespace retention;
    const Retention& r = opts.retention;
    const int chunk = std::clamp(2 * rows, 16, kRawChunk);
    PruneRaw(db, t - r.raw_days * kDayMs, rollups->Covered(), chunk);
    PruneRollups(db, rollup::kMinuteMs, t - r.minute_days * kDayMs, 16);
    PruneRollups(db, rollup::kHourMs, t - int64_t{r.hour_days} * kDayMs, 16);
}

bool Store::prune_step(int64_t t, bool lull) {
    using namespace retention;
    const Pages pages = Measure(db);
    const int64_t budget = BudgetPages(opts.retention, pages.size);
    pruning = true;
    step_kind = "budget";
    if (pages.Used() > budget - Headroom(budget) && PruneForBudget(db, kRawChunk) > 0) return true;
    if (t >= next_prune) {
        const Retention& r = opts.retention;
        const int64_t aged = t - (lull ? 0 : kBacklogMs);
        step_kind = "raw";
        if (PruneRaw(db, aged - r.raw_days * kDayMs, rollups->Covered(), kRawChunk) > 0) return true;
        step_kind = "minutes";
        if (PruneRollups(db, rollup::kMinuteMs, aged - r.minute_days * kDayMs, kRollupChunk) > 0) return true;
        step_kind = "hours";
        if (PruneRollups(db, rollup::kHourMs, aged - int64_t{r.hour_days} * kDayMs, kRollupChunk) > 0) return true;
        // Aged rows are taken a minute's worth at a time, not every cycle.
        next_prune = t + 60'000;
    }
    step_kind = "shrink";
    if (pages.incremental && pages.free > Slack(budget)) {
        const int64_t t0 = steady_us();
        const int64_t given = Shrink(db, shrink_pages);
        const int64_t took = steady_us() - t0;
        if (took > kShrinkAimUs)
            shrink_pages = std::max(1, shrink_pages / 2);
        else if (took < kShrinkAimUs / 4)
            shrink_pages = std::min(kShrinkMaxPages, shrink_pages * 2);
        if (given > 0) return true;
    }
    pruning = false;
    return false;
}

void Store::finish() {
    // What is still open is written: the partial minute, the hour so far, the
    // snapshots; not to a database that just failed its last tries.
    for (int tries = 0; tries < kStopTries && failures < kStopTries; ++tries) {
        try {
            Transaction tx(db);
            rollups->Write(db, now(), true);
            bool dirty;
            {
                std::lock_guard<std::mutex> lock(mutex);
                dirty = cache_dirty;
            }
            if (dirty) write_cache();
            tx.Commit();
            rollups->Commit();
            break;
        } catch (const StoreError& e) {
            rollups->Rollback();
            std::lock_guard<std::mutex> lock(mutex);
            if (tries + 1 == kStopTries)
                errors.push_back(fmt::format("database {}: {} (roll-ups not written)", path, e.what()));
        }
    }
    std::lock_guard<std::mutex> lock(mutex);
    notify();
}

}  // namespace monitor
