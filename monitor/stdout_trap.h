#pragma once
// The driver writes diagnostics to descriptor 1. The program keeps its own
// output on a duplicate and gives descriptor 1 a pipe that it reads itself,
// so the driver's lines never mix with the program's.

#include <optional>
#include <string>

#include "monitor/fd_io.h"

namespace monitor {

class StdoutTrap {
public:
    // Throws std::runtime_error when the descriptors cannot be set up.
    void Install();
    // The program's own standard output.
    int Own() const { return own; }
    int ReadFd() const { return reader ? reader->Fd() : -1; }
    // Hands each complete line the driver wrote to on_line.
    template <class Fn>
    void Pump(Fn&& on_line) {
        flush_stdout();
        if (reader) reader->Pump(on_line);
    }

private:
    static void flush_stdout();
    int own = -1;
    std::optional<LineReader> reader;
};

}  // namespace monitor
