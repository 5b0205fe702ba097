#pragma once
// Small descriptor helpers of the program's own output and pipes.

#include <cerrno>
#include <string>

#include <unistd.h>

namespace monitor {

// Writes all of s, retrying short writes; false when the reader is gone.
bool WriteAll(int fd, const std::string& s);
void SetNonBlocking(int fd);

// Lines from a non-blocking descriptor, split at newlines (a CR before the
// newline dropped, a line cut at 4 KiB).
class LineReader {
public:
    explicit LineReader(int fd) : fd(fd) {}
    int Fd() const { return fd; }
    // Reads what is there; false at end of file.
    template <class Fn>
    bool Pump(Fn&& on_line) {
        char buf[4096];
        for (;;) {
            const ssize_t n = ::read(fd, buf, sizeof buf);
            if (n == 0) {
                flush(on_line);
                return false;
            }
            if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
            for (ssize_t i = 0; i < n; ++i) {
                if (buf[i] == '\n')
                    flush(on_line);
                else if (partial.size() < 4096)
                    partial += buf[i];
            }
        }
    }

private:
    template <class Fn>
    void flush(Fn&& on_line) {
        if (!partial.empty() && partial.back() == '\r') partial.pop_back();
        if (!partial.empty()) on_line(partial);
        partial.clear();
    }
    int fd;
    std::string partial;
};

}  // namespace monitor
