#include "monitor/checkpointer.h"

#include <sqlite3.h>

#include <algorithm>
#include <chrono>

namespace monitor {

Checkpointer::Checkpointer(const std::string& path) {
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr) != SQLITE_OK) {
        sqlite3_close(db);
        db = nullptr;
        return;
    }
    // A connection that has read nothing has not opened the journal yet, and
    // its checkpoints would copy nothing.
    if (sqlite3_exec(db, "SELECT count(*) FROM sqlite_schema", nullptr, nullptr, nullptr) != SQLITE_OK) {
        sqlite3_close(db);
        db = nullptr;
        return;
    }
    worker = std::thread([this] { run(); });
}

Checkpointer::~Checkpointer() {
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopping = true;
        wake.notify_one();
    }
    if (worker.joinable()) worker.join();
    // The store's connection closes last and takes the journal away.
    if (db) sqlite3_close(db);
}

bool Checkpointer::Request() {
    if (!db) return false;
    std::lock_guard<std::mutex> lock(mutex);
    due = true;
    wake.notify_one();
    return true;
}

Checkpointer::Times Checkpointer::Stats() const {
    std::lock_guard<std::mutex> lock(mutex);
    return times;
}

void Checkpointer::run() {
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
        wake.wait(lock, [this] { return due || stopping; });
        if (stopping) return;
        due = false;
        lock.unlock();
        const auto t0 = std::chrono::steady_clock::now();
        // Passive: it copies what no reader needs and waits for nobody. A
        // busy or failing disk leaves the rest for the next request; the
        // store's own commits report the failure.
        const int rc = sqlite3_wal_checkpoint_v2(db, nullptr, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
        const int64_t us =
            std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - t0).count();
        lock.lock();
        ++times.n;
        times.over_50ms += us > 50'000;
        times.longest_us = std::max(times.longest_us, us);
        times.failed += rc != SQLITE_OK;
    }
}

}  // namespace monitor
