#pragma once
// The poll thread's wait: one poll() over the descriptors of named handlers
// (the serial line, the driver's output, storage progress, signals, the
// demo's simulator, each sink's own), each run when its descriptor is ready.

#include <poll.h>

#include <functional>
#include <string>
#include <vector>

namespace monitor {

class PollLoop {
public:
    struct Handler {
        std::string name;
        std::function<int()> fd;  // the descriptor to watch now, -1 for none
        std::function<void()> ready;
    };

    void Add(Handler h) { handlers.push_back(std::move(h)); }
    // Waits at most timeout_ms (0: not at all), then runs the handlers whose
    // descriptors are ready, in the order they were added.
    void Turn(int timeout_ms);
    const std::vector<Handler>& Handlers() const { return handlers; }

private:
    std::vector<Handler> handlers;
    std::vector<pollfd> fds;
};

}  // namespace monitor
