#include "monitor/sinks/journal.h"

#include <sys/stat.h>

#include <cstdlib>
#include <cstdio>

#include <fmt/format.h>

#include "monitor/fd_io.h"

namespace monitor {

bool IsJournalStream(int fd) {
    const char* env = std::getenv("JOURNAL_STREAM");
    if (!env || fd < 0) return false;
    unsigned long long dev = 0, ino = 0;
    char tail = 0;
    if (std::sscanf(env, "%llu:%llu%c", &dev, &ino, &tail) != 2) return false;
    struct stat st{};
    if (::fstat(fd, &st) != 0) return false;
    return static_cast<unsigned long long>(st.st_dev) == dev && static_cast<unsigned long long>(st.st_ino) == ino;
}

Level ParseLevel(const std::string& name) {
    if (name == "debug") return Level::Debug;
    if (name == "warning") return Level::Warning;
    if (name == "error") return Level::Error;
    return Level::Info;
}

namespace {

// sd-daemon.h's SD_ERR, SD_WARNING, SD_NOTICE, SD_INFO, SD_DEBUG.
const char* prefix(Level l) {
    switch (l) {
        case Level::Debug: return "<7>";
        case Level::Info: return "<6>";
        case Level::Warning: return "<4>";
        case Level::Error: return "<3>";
    }
    return "<6>";
}

// A line break inside a text would start an entry without a priority.
std::string one_line(std::string s) {
    for (char& c : s)
        if (c == '\n' || c == '\r') c = ' ';
    return s;
}

struct Lines {
    Level min_level;

    std::string operator()(const AlarmEvent& e) const {
        const Alarm& a = e.alarm;
        const bool raise = e.action == "raise";
        std::string text = fmt::format("{}alarm {}: {} (device {}, key {}, level {}", raise ? "<4>" : "<5>", e.action,
                                       a.label, a.device, a.key, a.level);
        if (!a.state_text.empty()) text += ", " + a.state_text;
        text += "; " + a.name;
        if (!a.detail.empty()) text += ": " + a.detail;
        return one_line(text + ")");
    }
    std::string operator()(const LinkEvent& e) const {
        if (e.up) return "<5>link up";
        return fmt::format("<4>link down: the controller stopped answering ({} give-ups since start)",
                           e.counters.give_ups);
    }
    std::string operator()(const StorageEvent& e) const {
        if (e.ok) return fmt::format("<5>storage ok again ({} cycles given up since start)", e.dropped);
        return one_line(fmt::format("<3>storage error: {} ({} cycles waiting, {} given up)", e.reason, e.held,
                                    e.dropped));
    }
    std::string operator()(const HttpEvent& e) const { return "<6>http: listening on " + e.url; }
    std::string operator()(const LogEvent& e) const {
        if (e.level < min_level) return "";
        return one_line(prefix(e.level) + std::string(e.source == LogSource::Stdout ? "driver: " : "") + e.text);
    }
    std::string operator()(const RestoreEvent&) const { return ""; }
    std::string operator()(const CycleEvent&) const { return ""; }
};

}  // namespace

std::string JournalLines::Line(const Event& event) const { return std::visit(Lines{min_level}, event.body); }

void JournalLines::OnEvent(const Event& event, const SiteSnapshot&) {
    if (fd < 0) return;
    std::string line = Line(event);
    if (line.empty()) return;
    line += '\n';
    // A journal that went away costs the log, never the polling.
    if (!WriteAll(fd, line)) fd = -1;
}

}  // namespace monitor
