#include "monitor/demo.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

#include <fmt/format.h>

#include "monitor/plugin_loader.h"

extern char** environ;

namespace monitor {

namespace {

const char* const kDemoScenario = R"({
  "comment": "m520s-monitor demo: the reference site with a time line",
  "timeline": [
    {"at_cycle": 4, "set": {"rectifier.modules[2].fault_state": 1}},
    {"at_cycle": 8, "set": {"dc[1].v": 47.2, "dc[1].v_state": 1}},
    {"at_cycle": 12, "set": {"dc[1].v": {"mean": 53.5, "swing": 0.05}, "dc[1].v_state": 0}},
    {"at_cycle": 14, "set": {"ac[0].channels[0].a": 181.5, "ac[0].channels[0].a_state": 1}},
    {"at_cycle": 18, "set": {"ac[0].channels[0].a": {"mean": 230.4, "swing": 1.2, "period_s": 90}, "ac[0].channels[0].a_state": 0}},
    {"at_cycle": 20, "set": {"rectifier.modules[2].fault_state": 0}},
    {"at_cycle": 24, "fault": "silence", "for_s": 6},
    {"at_cycle": 30, "set": {"ac[1].ib_alert": 2}}
  ]
})";

}  // namespace

std::string DemoSimulator::DefaultPath() {
    if (const char* env = std::getenv("M520S_SIM"); env && *env) return env;
    return ProgramDir() + "/m520s-sim";
}

DemoSimulator::DemoSimulator(const std::string& path) {
    // The scenario goes to a file of its own, removed again at the end.
    char name[] = "/tmp/m520s-demo-XXXXXX.json";
    const int sfd = ::mkstemps(name, 5);
    if (sfd < 0) throw DemoError(fmt::format("simulator: no scenario file: {}", std::strerror(errno)));
    scenario = name;
    const std::string text = kDemoScenario;
    const bool written = ::write(sfd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    ::close(sfd);
    if (!written) {
        Stop();
        throw DemoError("simulator: cannot write its scenario file");
    }
    spawn(path);
    wait_for_pty(path);
}

void DemoSimulator::spawn(const std::string& path) {
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) throw DemoError("simulator: no pipe");
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    posix_spawn_file_actions_adddup2(&fa, out[1], 2);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none, dflt;
    sigemptyset(&none);
    sigemptyset(&dflt);
    for (int sig : {SIGPIPE, SIGINT, SIGTERM, SIGHUP}) sigaddset(&dflt, sig);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &dflt);
    // Its own process group: a Ctrl-C in the terminal reaches the monitor,
    // which then stops the simulator itself.
    posix_spawnattr_setpgroup(&attr, 0);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);
    std::vector<std::string> args{path, "--pty", "--scenario", scenario};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const int rc = ::posix_spawn(&pid, path.c_str(), &fa, &attr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    posix_spawnattr_destroy(&attr);
    ::close(out[1]);
    if (rc != 0) {
        ::close(out[0]);
        pid = -1;
        Stop();
        throw DemoError(fmt::format("simulator {}: {}", path, std::strerror(rc)));
    }
    SetNonBlocking(out[0]);
    reader.emplace(out[0]);
}

void DemoSimulator::wait_for_pty(const std::string& path) {
    // The first line names the pseudo-terminal.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    std::string first;
    bool open = true;
    while (first.empty() && open && std::chrono::steady_clock::now() < deadline) {
        pollfd p{reader->Fd(), POLLIN, 0};
        ::poll(&p, 1, 100);
        open = reader->Pump([&](const std::string& line) {
            if (first.empty())
                first = line;
            else
                early.push_back(line);
        });
    }
    if (first.rfind("pty: ", 0) != 0) {
        Stop();
        throw DemoError(fmt::format("simulator {}: expected \"pty: <path>\" as its first line, got {}", path,
                                    first.empty() ? "nothing" : "\"" + first + "\""));
    }
    pty = first.substr(5);
}

std::optional<int> DemoSimulator::Ended() {
    if (pid <= 0) return std::nullopt;
    int status = 0;
    if (::waitpid(pid, &status, WNOHANG) == pid) {
        pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    return std::nullopt;
}

void DemoSimulator::Stop() {
    if (pid > 0) {
        ::kill(pid, SIGTERM);
        for (int i = 0; i < 50 && pid > 0; ++i) {
            if (::waitpid(pid, nullptr, WNOHANG) == pid) pid = -1;
            if (pid > 0) ::usleep(20000);
        }
        if (pid > 0) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
            pid = -1;
        }
    }
    if (reader) {
        ::close(reader->Fd());
        reader.reset();
    }
    if (!scenario.empty()) ::unlink(scenario.c_str());
    scenario.clear();
}

}  // namespace monitor
