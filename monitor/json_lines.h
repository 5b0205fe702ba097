#pragma once
// JSON lines on the program's own output: one event object a line, UTF-8.

#include <string>

#include <json/json.h>

#include "monitor/event_sink.h"

namespace monitor {

// One object on one line, UTF-8 as it stands (no \u escapes), floats as their
// shortest decimals.
std::string JsonLine(const Json::Value& v);

// Local time, ISO 8601 with seconds: 2026-12-08T16:05:01.
std::string NowText();

class JsonLines : public EventSink {
public:
    // fd: the program's own standard output (not descriptor 1, which carries
    // the driver's lines).
    explicit JsonLines(int fd) : fd(fd) {}
    void OnEvent(const Json::Value& event) override;

private:
    int fd;
};

// Writes all of s, retrying short writes; false when the reader is gone.
bool WriteAll(int fd, const std::string& s);

}  // namespace monitor
