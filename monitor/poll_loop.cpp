#include "monitor/poll_loop.h"

namespace monitor {

void PollLoop::Turn(int timeout_ms) {
    fds.resize(handlers.size());
    for (size_t i = 0; i < handlers.size(); ++i) fds[i] = {handlers[i].fd(), POLLIN, 0};
    if (::poll(fds.data(), static_cast<nfds_t>(fds.size()), timeout_ms < 0 ? 0 : timeout_ms) <= 0) return;
    for (size_t i = 0; i < handlers.size(); ++i)
        if (fds[i].fd >= 0 && fds[i].revents) handlers[i].ready();
}

}  // namespace monitor
