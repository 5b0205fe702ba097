#include "monitor/passwd.h"

#include <termios.h>
#include <unistd.h>

#include <optional>
#include <string>

#include "monitor/app.h"
#include "monitor/sinks/http_auth.h"

namespace monitor {

namespace {

constexpr size_t kMaxPassword = 4096;

// One line from fd, without its end; nullopt at end of input.
std::optional<std::string> read_line(int fd) {
    std::string line;
    char ch = 0;
    ssize_t n = 0;
    while ((n = ::read(fd, &ch, 1)) == 1 && ch != '\n') {
        if (line.size() < kMaxPassword) line += ch;
    }
    if (n <= 0 && line.empty()) return std::nullopt;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line;
}

// Echo off while the password is typed, back on whatever happens.
class NoEcho {
public:
    explicit NoEcho(int fd) : fd(fd) {
        if (::tcgetattr(fd, &saved) != 0) return;
        termios t = saved;
        t.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        active = ::tcsetattr(fd, TCSAFLUSH, &t) == 0;
    }
    ~NoEcho() {
        if (active) ::tcsetattr(fd, TCSAFLUSH, &saved);
    }

private:
    int fd;
    termios saved{};
    bool active = false;
};

std::optional<std::string> prompt(int fd, std::ostream& err, const char* text) {
    err << text << std::flush;
    NoEcho quiet(fd);
    auto line = read_line(fd);
    err << "\n";
    return line;
}

}  // namespace

int RunPasswd(int in_fd, std::ostream& out, std::ostream& err) {
    std::optional<std::string> password;
    if (::isatty(in_fd)) {
        password = prompt(in_fd, err, "Password: ");
        const auto again = password ? prompt(in_fd, err, "Again: ") : std::nullopt;
        if (password && again != password) {
            err << "m520s-monitor passwd: the two passwords differ\n";
            return kExitConfig;
        }
    } else {
        password = read_line(in_fd);
    }
    if (!password || password->empty()) {
        err << "m520s-monitor passwd: expected a password, found " << (password ? "an empty line" : "no input")
            << "\n";
        return kExitConfig;
    }
    try {
        out << HashPassword(*password) << "\n";
    } catch (const std::exception& e) {
        err << "m520s-monitor passwd: " << e.what() << "\n";
        return kExitOpen;
    }
    return 0;
}

}  // namespace monitor
