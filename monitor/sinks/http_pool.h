#pragma once
// The server's connection threads. cpp-httplib hands every accepted
// connection to a task queue; this one serves at most max_clients at once
// and gives any connection beyond that to a refusal thread, where the request
// is answered 503 at once (Refusing() tells the handler so). So a crowd of
// clients never grows the thread count, and the clients already served keep
// their threads.

#include <httplib.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace monitor {

// Outlives the pools: cpp-httplib makes and deletes its task queue itself.
struct PoolStats {
    std::atomic<uint64_t> active{0}, served{0}, refused{0};
};

class ClientPool : public httplib::TaskQueue {
public:
    ClientPool(int max_clients, PoolStats& stats);
    ~ClientPool() override;

    void enqueue(std::function<void()> fn) override;
    void shutdown() override;

    // True on the refusal thread: the request is to be answered 503.
    static bool Refusing();

private:
    void work(std::deque<std::function<void()>>& jobs, bool refuser);

    const size_t limit;
    std::mutex lock;
    std::condition_variable wake;
    std::deque<std::function<void()>> jobs, overflow;
    size_t busy = 0;  // connections taken by a serving thread or waiting for one
    bool stopping = false;
    std::vector<std::thread> threads;
    PoolStats& stats;
};

}  // namespace monitor
