#pragma once
// The demo: m520s-sim on a pseudo-terminal of its own, with a scenario that
// shows everything the views can (values, alarms that come and go, a few
// seconds of silence).

#include <sys/types.h>

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "monitor/fd_io.h"

namespace monitor {

// The simulator could not be started; the message says why.
class DemoError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class DemoSimulator {
public:
    // path: the simulator program. Waits for its "pty: <path>" line.
    explicit DemoSimulator(const std::string& path);
    ~DemoSimulator() { Stop(); }
    DemoSimulator(const DemoSimulator&) = delete;
    DemoSimulator& operator=(const DemoSimulator&) = delete;

    // The simulator beside the program, or $M520S_SIM.
    static std::string DefaultPath();

    const std::string& Pty() const { return pty; }
    int Fd() const { return reader ? reader->Fd() : -1; }
    // Its output, line by line.
    template <class Fn>
    void Pump(Fn&& on_line) {
        for (auto& l : early) on_line(l);
        early.clear();
        if (reader) reader->Pump(on_line);
    }
    // Its exit status once it ended by itself.
    std::optional<int> Ended();
    void Stop();

private:
    void spawn(const std::string& path);
    void wait_for_pty(const std::string& path);

    pid_t pid = -1;
    std::optional<LineReader> reader;
    std::vector<std::string> early;
    std::string pty;
    std::string scenario;
};

}  // namespace monitor
