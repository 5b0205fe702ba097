#pragma once
// The live view on a terminal: the units' values as the model lays them out,
// stale values marked, the active alarms, the link with its counters, each
// sink's state, a status line with the request in flight and the cycle's
// progress, and the latest log lines. Drawn from the published site state.

#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "monitor/sinks/sink.h"
#include "monitor/sinks/terminal_text.h"

namespace monitor {

struct LiveViewOptions {
    std::string language = "en";  // "zh": the controller's own alarm texts first
    bool debug = false;           // also the driver's standard output in the log
};

class LiveView : public Sink {
public:
    // fd: the terminal (-1: render only, for tests).
    LiveView(int fd, std::string port, LiveViewOptions options = {});
    ~LiveView() override;

    std::string Name() const override { return "live view"; }
    void OnEvent(const Event& event, const SiteSnapshot& site) override;
    void OnSite(const std::shared_ptr<const SiteSnapshot>& site) override;
    int Tick(SteadyClock::time_point now) override;
    void Stop() override;

    // The screen as lines, for a given size.
    std::vector<std::string> Render(size_t width, size_t height, bool color) const;

private:
    void draw();
    void close_screen();
    void header(std::vector<std::string>& out, const Style& st) const;
    void units(std::vector<std::string>& out, const Style& st, size_t width) const;
    void alarms(std::vector<std::string>& out, const Style& st) const;
    std::string alarm_text(const Alarm& a) const;

    int fd;
    std::string port;
    LiveViewOptions options;
    std::shared_ptr<const SiteSnapshot> site;
    struct LogLine {
        const char* style;  // SGR code, "" for none
        std::string text;
    };
    std::deque<LogLine> log;
    bool open = false;
    bool stopped = false;
    bool dirty = true;
    SteadyClock::time_point last_draw{};
};

}  // namespace monitor
