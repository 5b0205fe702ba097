#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

struct sqlite3;

namespace monitor {

// Copies the journal back into the database on a connection and a thread of
// its own. A checkpoint writes megabytes and waits for the disk to take them;
// on flash that is a second, and the commits of new cycles do not wait for it.
class Checkpointer {
public:
    struct Times {
        int64_t n = 0, over_50ms = 0, longest_us = 0, failed = 0;
    };

    // Opens a second connection to the database the store has open; without
    // one, Request() checkpoints nothing and says so (false).
    explicit Checkpointer(const std::string& path);
    ~Checkpointer();
    Checkpointer(const Checkpointer&) = delete;
    Checkpointer& operator=(const Checkpointer&) = delete;

    // Asks for one checkpoint; never waits. Requests made while one runs
    // become one more.
    bool Request();
    Times Stats() const;

private:
    void run();

    sqlite3* db = nullptr;
    mutable std::mutex mutex;
    std::condition_variable wake;
    bool due = false, stopping = false;
    Times times;
    std::thread worker;
};

}  // namespace monitor
