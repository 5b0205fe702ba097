// The monitor as a quiet service: its journal lines and what it tells the
// service manager, through the real program with $JOURNAL_STREAM and
// $NOTIFY_SOCKET set as systemd sets them.

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <atomic>
#include <mutex>
#include <regex>
#include <thread>

#include "monitor/sinks/journal.h"
#include "tests/monitor/e2e_support.h"
#include "tests/monitor/monitor_process.h"
#include "tests/monitor/test_support.h"
#include "tests/support/time_scale.h"

namespace {

using monitor::Event;
using monitor::Level;
using monitor_test::MonitorProcess;

std::string LineOf(const monitor::JournalLines& j, Event::Body body) { return j.Line(Event{"t", std::move(body)}); }

TEST(JournalLines, OneLineForWhatAnOperatorNeedsAndNoneForACycle) {
    const monitor::JournalLines info(-1, Level::Info), errors(-1, Level::Error), debug(-1, Level::Debug);
    monitor::Alarm a;
    a.device = 22, a.key = "DC_0", a.level = 3, a.name = "输出电压过低告警", a.detail = "detail\nsecond line";
    a.label = "DC panel 22: output voltage too low";
    EXPECT_EQ(LineOf(info, monitor::AlarmEvent{"raise", a}),
              "<4>alarm raise: DC panel 22: output voltage too low (device 22, key DC_0, level 3; 输出电压过低告警: "
              "detail second line)");
    EXPECT_EQ(LineOf(info, monitor::AlarmEvent{"clear", a}).substr(0, 17), "<5>alarm clear: D");
    monitor::LinkEvent down;
    down.counters.give_ups = 7;
    EXPECT_EQ(LineOf(info, down), "<4>link down: the controller stopped answering (7 give-ups since start)");
    EXPECT_EQ(LineOf(info, monitor::LinkEvent{true, {}}), "<5>link up");
    EXPECT_EQ(LineOf(errors, monitor::StorageEvent{false, "disk I/O error", 3, 1}),
              "<3>storage error: disk I/O error (3 cycles waiting, 1 given up)");
    EXPECT_EQ(LineOf(info, monitor::StorageEvent{true, "", 0, 1}), "<5>storage ok again (1 cycles given up since start)");
    EXPECT_EQ(LineOf(info, monitor::HttpEvent{"http://127.0.0.1:8080/"}), "<6>http: listening on http://127.0.0.1:8080/");
    EXPECT_EQ(LineOf(info, monitor::CycleEvent{}), "");
    EXPECT_EQ(LineOf(info, monitor::RestoreEvent{11, "m520s-ac", true}), "");

    // The level chooses the log lines; the driver's own output is debug.
    const monitor::LogEvent driver{"parse 42 41", monitor::LogSource::Stdout, Level::Debug};
    const monitor::LogEvent note{"host: port open again", monitor::LogSource::Log, Level::Info};
    const monitor::LogEvent warn{"host: port closed", monitor::LogSource::Log, Level::Warning};
    const monitor::LogEvent fail{"host: process failed", monitor::LogSource::Log, Level::Error};
    EXPECT_EQ(LineOf(info, driver), "");
    EXPECT_EQ(LineOf(debug, driver), "<7>driver: parse 42 41");
    EXPECT_EQ(LineOf(info, note), "<6>host: port open again");
    EXPECT_EQ(LineOf(errors, note), "");
    EXPECT_EQ(LineOf(errors, warn), "");
    EXPECT_EQ(LineOf(info, warn), "<4>host: port closed");
    EXPECT_EQ(LineOf(errors, fail), "<3>host: process failed");
    for (const char* name : {"debug", "info", "warning", "error"})
        EXPECT_STREQ(monitor::LevelName(monitor::ParseLevel(name)), name);
}

TEST(JournalLines, StreamRecognisedByDeviceAndInode) {
    monitor_test::TempDir dir;
    monitor_test::WriteFile(dir / "a", ""), monitor_test::WriteFile(dir / "b", "");
    const int a = ::open((dir / "a").c_str(), O_WRONLY), b = ::open((dir / "b").c_str(), O_WRONLY);
    struct stat st{};
    ASSERT_EQ(fstat(a, &st), 0);
    const std::string mine = std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
    const char* before = std::getenv("JOURNAL_STREAM");
    const std::string saved = before ? before : "";
    unsetenv("JOURNAL_STREAM");
    EXPECT_FALSE(monitor::IsJournalStream(a));
    setenv("JOURNAL_STREAM", mine.c_str(), 1);
    EXPECT_TRUE(monitor::IsJournalStream(a));
    EXPECT_FALSE(monitor::IsJournalStream(b));  // output redirected elsewhere
    for (const std::string& bad : std::vector<std::string>{mine + "x", "12", "", "a:b"}) {
        setenv("JOURNAL_STREAM", bad.c_str(), 1);
        EXPECT_FALSE(monitor::IsJournalStream(a)) << bad;
    }
    before ? void(setenv("JOURNAL_STREAM", saved.c_str(), 1)) : void(unsetenv("JOURNAL_STREAM"));
    ::close(a), ::close(b);
}

// A notify socket as systemd's: every datagram with the time it came.
class NotifySocket {
public:
    explicit NotifySocket(const std::string& path) : path(path) {
        fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::snprintf(a.sun_path, sizeof a.sun_path, "%s", path.c_str());
        if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) throw std::runtime_error("bind " + path);
        timeval tv{0, 100000};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        reader = std::thread([this] {
            char buf[512];
            while (!done) {
                const ssize_t n = recv(fd, buf, sizeof buf, 0);
                if (n <= 0) continue;
                std::lock_guard<std::mutex> l(lock);
                got.push_back({std::chrono::steady_clock::now(), std::string(buf, static_cast<size_t>(n))});
            }
        });
    }
    ~NotifySocket() {
        done = true;
        reader.join();
        close(fd);
    }
    struct Message {
        std::chrono::steady_clock::time_point at;
        std::string text;
    };
    std::vector<Message> Messages() {
        std::lock_guard<std::mutex> l(lock);
        return got;
    }
    const std::string path;

private:
    int fd = -1;
    std::atomic<bool> done{false};
    std::mutex lock;
    std::vector<Message> got;
    std::thread reader;
};

TEST(ServiceE2E, QuietJournalReadyWatchdogAndStopping) {
    monitor_test::TempDir dir;
    monitor_test::WriteFile(dir / "alarm.json", R"({"timeline": [
        {"at_cycle": 2, "set": {"dc[1].v": 47.25, "dc[1].v_state": 1}},
        {"at_cycle": 6, "set": {"dc[1].v": 53.5, "dc[1].v_state": 0}}]})");
    monitor_test::Sim sim({"--scenario", dir / "alarm.json"});
    ASSERT_FALSE(sim.pty.empty());
    monitor_test::WriteConfig(dir / "site.json", sim.pty, dir / "site.db");
    NotifySocket notify(dir / "notify");
    MonitorProcess::Options o;
    o.journal_stream = true;
    o.env = {"NOTIFY_SOCKET=" + notify.path, "WATCHDOG_USEC=2000000"};
    MonitorProcess mon(M520S_MONITOR_PATH, {"--config", dir / "site.json"}, o);

    std::vector<std::string> lines;
    const Json::Value clear = mon.WaitFor([&](const Json::Value& e) {
        lines.push_back(e["text"].asString());
        return lines.back().find("alarm clear: DC panel 22") != std::string::npos;
    }, 60000);
    ASSERT_FALSE(clear.isNull()) << mon.Stderr();
    // Six cycles and more have gone by: none of them wrote a line.
    ASSERT_GE(monitor_test::Count(dir / "site.db", "SELECT COUNT(*) FROM history"), 5 * 6);
    mon.Signal(SIGTERM);
    EXPECT_EQ(mon.Wait(), 0);
    for (const auto& e : mon.Rest()) lines.push_back(e["text"].asString());
    const std::regex journal_line(R"(<[0-7]>[^\n]+)");
    for (const auto& l : lines) EXPECT_TRUE(std::regex_match(l, journal_line)) << l;
    EXPECT_EQ(lines.front(), "<5>link up");
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(), [](auto& l) { return l.find("alarm raise: DC panel 22") == 3; }), 1);
    EXPECT_LE(lines.size(), 6u) << "a line per cycle?";

    const auto got = notify.Messages();
    ASSERT_GE(got.size(), 4u);
    EXPECT_EQ(got.front().text.rfind("READY=1", 0), 0u) << got.front().text;
    EXPECT_NE(got.back().text.find("STOPPING=1"), std::string::npos) << got.back().text;
    size_t pings = 0;
    auto last = got.front().at;
    for (size_t i = 1; i + 1 < got.size(); ++i) {
        EXPECT_EQ(got[i].text, "WATCHDOG=1");
        // At least every half of the watchdog's 2 s.
        EXPECT_LE(got[i].at - last, Scaled(std::chrono::milliseconds(1000)));
        last = got[i].at;
        ++pings;
    }
    EXPECT_GE(pings, 3u);
}

TEST(ServiceE2E, JsonStillPrintsEverythingUnderTheJournal) {
    monitor_test::TempDir dir;
    monitor_test::Sim sim({});
    ASSERT_FALSE(sim.pty.empty());
    monitor_test::WriteConfig(dir / "site.json", sim.pty, dir / "site.db");
    MonitorProcess::Options o;
    o.journal_stream = true;
    MonitorProcess mon(M520S_MONITOR_PATH, {"--config", dir / "site.json", "--json", "--cycles", "2"}, o);
    EXPECT_EQ(mon.Wait(60000), 0) << mon.Stderr();
    size_t cycles = 0, restores = 0;
    for (const auto& e : mon.Rest()) cycles += e["event"] == "cycle", restores += e["event"] == "restore";
    EXPECT_EQ(cycles, 2u);
    EXPECT_EQ(restores, 5u);
}

}  // namespace
