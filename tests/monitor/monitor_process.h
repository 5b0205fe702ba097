#pragma once
// Runs m520s-monitor as a child process and reads its JSON lines.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <json/json.h>

extern char** environ;

namespace monitor_test {

class MonitorProcess {
public:
    struct Options {
        std::vector<std::string> env;  // "NAME=value", added to this process's environment
        // $JOURNAL_STREAM names the child's standard output, as systemd sets it
        // for a service whose output goes to the journal.
        bool journal_stream = false;
    };

    MonitorProcess(const std::string& program, const std::vector<std::string>& args)
        : MonitorProcess(program, args, Options{}) {}
    MonitorProcess(const std::string& program, const std::vector<std::string>& args, Options options) {
        int out[2], err[2];
        if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
        std::vector<std::string> env_text(options.env);
        if (options.journal_stream) {
            struct stat st{};
            fstat(out[1], &st);
            env_text.push_back("JOURNAL_STREAM=" + std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino));
        }
        std::vector<char*> envp;
        for (auto& e : env_text) envp.push_back(e.data());
        for (char** e = environ; *e; ++e) envp.push_back(*e);
        envp.push_back(nullptr);
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, out[1], 1);
        posix_spawn_file_actions_adddup2(&fa, err[1], 2);
        std::vector<std::string> all{program};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (auto& a : all) argv.push_back(a.data());
        argv.push_back(nullptr);
        const int rc = posix_spawn(&pid, program.c_str(), &fa, nullptr, argv.data(), envp.data());
        posix_spawn_file_actions_destroy(&fa);
        close(out[1]);
        close(err[1]);
        if (rc != 0) throw std::runtime_error("cannot start " + program);
        out_fd = out[0];
        err_fd = err[0];
    }
    ~MonitorProcess() {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        close(out_fd);
        close(err_fd);
    }

    // Next JSON line, or null after timeout / end of output.
    Json::Value NextEvent(int timeout_ms = 15000) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        for (;;) {
            const auto nl = out.find('\n');
            if (nl != std::string::npos) {
                const std::string line = out.substr(0, nl);
                out.erase(0, nl + 1);
                Json::Value v;
                Json::CharReaderBuilder b;
                std::string errs;
                std::unique_ptr<Json::CharReader> r(b.newCharReader());
                if (!r->parse(line.data(), line.data() + line.size(), &v, &errs)) {
                    v = Json::Value(Json::objectValue);
                    v["event"] = "unparsable";
                    v["text"] = line;
                }
                lines.push_back(line);
                return v;
            }
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
            if (left <= 0 || !read_some(out_fd, out, static_cast<int>(left))) return Json::Value();
        }
    }

    // Events until one satisfies pred (returned) or the time runs out (null).
    Json::Value WaitFor(const std::function<bool(const Json::Value&)>& pred, int timeout_ms = 20000,
                        std::vector<Json::Value>* seen = nullptr) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        for (;;) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
            if (left <= 0) return Json::Value();
            Json::Value ev = NextEvent(static_cast<int>(left));
            if (ev.isNull()) return ev;
            if (seen) seen->push_back(ev);
            if (pred(ev)) return ev;
        }
    }

    void Signal(int sig) { kill(pid, sig); }
    pid_t Pid() const { return pid; }

    // Exit status (or 128 + signal); reads the rest of the output meanwhile.
    int Wait(int timeout_ms = 30000) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        int status = 0;
        while (waitpid(pid, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > deadline) {
                kill(pid, SIGKILL);
                waitpid(pid, &status, 0);
                pid = -1;
                return -1;
            }
            read_some(out_fd, out, 20);
            read_some(err_fd, err, 0);
        }
        pid = -1;
        while (read_some(out_fd, out, 0)) {
        }
        while (read_some(err_fd, err, 0)) {
        }
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

    // All events left in the output (after Wait).
    std::vector<Json::Value> Rest() {
        std::vector<Json::Value> all;
        for (Json::Value v = NextEvent(0); !v.isNull(); v = NextEvent(0)) all.push_back(v);
        return all;
    }

    std::string Stderr() {
        while (read_some(err_fd, err, 0)) {
        }
        return err;
    }

    std::vector<std::string> lines;

private:
    static bool read_some(int fd, std::string& into, int timeout_ms) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, timeout_ms) <= 0) return false;
        char buf[65536];
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) return false;
        into.append(buf, static_cast<size_t>(n));
        return true;
    }

    pid_t pid = -1;
    int out_fd = -1, err_fd = -1;
    std::string out, err;
};

}  // namespace monitor_test
