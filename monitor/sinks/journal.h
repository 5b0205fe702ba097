#pragma once
// The service's log: what an operator reads in the journal. One line per
// link change, alarm event, storage problem, the HTTP URL, and log lines at
// or above the configured level; never a line per cycle. Each line starts
// with its sd-daemon priority ("<4>"), which journald takes as the entry's
// priority when it reads a service's standard output.

#include <string>

#include "monitor/sinks/sink.h"

namespace monitor {

// True when fd is the stream systemd connected to the journal: $JOURNAL_STREAM
// names its device and inode (a descriptor passed on to something else, or
// redirected, no longer matches).
bool IsJournalStream(int fd);

// "debug", "info", "warning", "error"; anything else is "info".
Level ParseLevel(const std::string& name);

class JournalLines : public Sink {
public:
    JournalLines(int fd, Level min_level) : fd(fd), min_level(min_level) {}
    std::string Name() const override { return "journal"; }
    void OnEvent(const Event& event, const SiteSnapshot& site) override;

    // The line an event gets ("" for none), without the newline.
    std::string Line(const Event& event) const;

private:
    int fd;
    Level min_level;
};

}  // namespace monitor
