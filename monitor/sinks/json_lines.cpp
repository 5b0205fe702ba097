#include "monitor/sinks/json_lines.h"

#include "monitor/fd_io.h"

namespace monitor {

void JsonLines::OnEvent(const Event& event, const SiteSnapshot&) {
    if (fd < 0) return;
    line.assign(event.Json());
    line += '\n';
    // A reader that went away costs the output, never the polling.
    if (!WriteAll(fd, line)) fd = -1;
}

}  // namespace monitor
