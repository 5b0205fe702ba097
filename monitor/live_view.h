#pragma once
// The live view on a terminal: the units' values as tables, stale values
// marked, the active alarms, the link with its counters, a status line with
// the request in flight and the cycle's progress, and the latest log lines.

#include <chrono>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include <json/json.h>

#include "monitor/event_sink.h"

namespace monitor {

class HostController;
class MqttPublisher;

// Terminal columns a UTF-8 text takes (CJK characters take two).
size_t DisplayWidth(const std::string& s);
// s cut to at most width columns, never inside a character.
std::string FitWidth(const std::string& s, size_t width);

class LiveView : public EventSink {
public:
    LiveView(int fd, const HostController& host, std::string port);
    ~LiveView() override;

    void OnEvent(const Json::Value& event) override;
    void OnActiveAlarms(const Json::Value& alarms) override;
    void OnModel(const std::string& model) override;
    void OnStop() override;

    // Shows the publisher's connection and counters under the link line.
    void SetMqtt(const MqttPublisher* publisher) { mqtt = publisher; }

    // Redraws; called from the poll loop at least every 250 ms.
    void Tick();
    // Leaves the terminal as it was found.
    void Close();

    // The screen as lines without escape sequences, for a given size.
    std::vector<std::string> Render(size_t width, size_t height, bool color) const;

private:
    void draw();

    int fd;
    const HostController& host;
    const MqttPublisher* mqtt = nullptr;
    std::string port;
    std::string model;
    Json::Value alarms{Json::arrayValue};
    struct LogLine {
        const char* style;  // SGR code, "" for none
        std::string text;
    };
    std::deque<LogLine> log;
    uint64_t driver_lines = 0;
    std::string last_driver_line;
    bool open = false;
    bool stopped = false;
    std::chrono::steady_clock::time_point last_draw{};
};

}  // namespace monitor
