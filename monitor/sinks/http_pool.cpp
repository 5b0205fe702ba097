#include "monitor/sinks/http_pool.h"

namespace monitor {

namespace {
thread_local bool refusing = false;
}

ClientPool::ClientPool(int max_clients, PoolStats& s) : limit(static_cast<size_t>(max_clients)), stats(s) {
    for (size_t i = 0; i < limit; ++i) threads.emplace_back([this] { work(jobs, false); });
    threads.emplace_back([this] { work(overflow, true); });
}

ClientPool::~ClientPool() { shutdown(); }

bool ClientPool::Refusing() { return refusing; }

void ClientPool::enqueue(std::function<void()> fn) {
    {
        std::lock_guard<std::mutex> l(lock);
        if (busy < limit) {
            ++busy;
            jobs.push_back(std::move(fn));
        } else {
            ++stats.refused;
            overflow.push_back(std::move(fn));
        }
    }
    wake.notify_all();
}

void ClientPool::work(std::deque<std::function<void()>>& queue, bool refuser) {
    refusing = refuser;
    for (;;) {
        std::function<void()> fn;
        {
            std::unique_lock<std::mutex> l(lock);
            wake.wait(l, [&] { return stopping || !queue.empty(); });
            if (queue.empty()) return;  // stopping, and nothing left to close
            fn = std::move(queue.front());
            queue.pop_front();
        }
        if (!refuser) ++stats.active;
        fn();  // serves the connection and closes it
        if (refuser) continue;
        --stats.active;
        ++stats.served;
        std::lock_guard<std::mutex> l(lock);
        --busy;
    }
}

void ClientPool::shutdown() {
    {
        std::lock_guard<std::mutex> l(lock);
        if (stopping && threads.empty()) return;
        stopping = true;
    }
    wake.notify_all();
    for (auto& t : threads)
        if (t.joinable()) t.join();
    threads.clear();
}

}  // namespace monitor
