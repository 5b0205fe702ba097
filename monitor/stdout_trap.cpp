#include "monitor/stdout_trap.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <stdexcept>

namespace monitor {

void StdoutTrap::flush_stdout() { std::fflush(stdout); }

void StdoutTrap::Install() {
    std::fflush(stdout);
    std::cout.flush();
    own = ::fcntl(1, F_DUPFD_CLOEXEC, 3);
    int p[2];
    if (own < 0 || ::pipe2(p, O_CLOEXEC) != 0) throw std::runtime_error("standard output: cannot redirect");
    // Room for a burst of driver lines between two reads.
    ::fcntl(p[1], F_SETPIPE_SZ, 1 << 20);
    ::dup2(p[1], 1);
    ::close(p[1]);
    SetNonBlocking(p[0]);
    reader.emplace(p[0]);
    // Line by line, so each line arrives when it is written.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
}

}  // namespace monitor
