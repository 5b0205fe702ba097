#pragma once
// JSON lines on the program's own output: one event object a line.

#include "monitor/sinks/sink.h"

namespace monitor {

class JsonLines : public Sink {
public:
    // fd: the program's own standard output (not descriptor 1, which carries
    // the driver's lines).
    explicit JsonLines(int fd) : fd(fd) {}
    std::string Name() const override { return "json"; }
    void OnEvent(const Event& event, const SiteSnapshot& site) override;

private:
    int fd;
    std::string line;
};

}  // namespace monitor
