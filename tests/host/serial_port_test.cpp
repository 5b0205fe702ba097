#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>

#include "host/pmbus_protocol.h"
#include "tests/support/frames.h"
#include "tests/support/recording_controller.h"

namespace {

struct Payloads : PMBusProtocol {
    std::vector<std::vector<unsigned char>> got;
    bool LoadFromCache(const unsigned char*, int) override { return true; }
    bool process_payload() override {
        const unsigned n = (recv_frame[4] | recv_frame[5] << 8) >> 1;
        got.emplace_back(recv_frame + 6, recv_frame + 6 + n);
        return true;
    }
};

struct Pty {
    int master = -1;
    std::string slave;
    Pty() {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        if (master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0) slave = ptsname(master);
    }
    ~Pty() {
        if (master >= 0) close(master);
    }
    std::vector<unsigned char> read_some() {
        std::vector<unsigned char> out;
        pollfd p{master, POLLIN, 0};
        while (poll(&p, 1, 200) > 0) {
            unsigned char b[256];
            const ssize_t n = read(master, b, sizeof b);
            if (n <= 0) break;
            out.insert(out.end(), b, b + n);
        }
        return out;
    }
};

TEST(SerialPort, RequestsGoOutAndAnswersComeInThroughAPseudoTerminal) {
    Pty pty;
    ASSERT_FALSE(pty.slave.empty());
    Payloads dev;
    ASSERT_TRUE(dev.OpenPort(pty.slave));
    EXPECT_GE(dev.PortFd(), 0);

    const unsigned char group = 0xFF;
    ASSERT_EQ(dev.write_pmbus_cmd(0x40, 0x41, &group, 1), 20);
    const auto sent = pty.read_some();
    EXPECT_EQ(std::string(sent.begin(), sent.end()), "~20014041E002FFFD11\r");

    // An answer written in two pieces is reassembled.
    const auto a = testing_support::answer(0x40, {1, 2, 3});
    ASSERT_EQ(write(pty.master, a.data(), 7), 7);
    EXPECT_EQ(dev.PumpPort(500), 7);
    EXPECT_TRUE(dev.got.empty());
    ASSERT_EQ(write(pty.master, a.data() + 7, a.size() - 7), static_cast<ssize_t>(a.size() - 7));
    EXPECT_GT(dev.PumpPort(500), 0);
    ASSERT_EQ(dev.got.size(), 1u);
    EXPECT_EQ(dev.got[0], (std::vector<unsigned char>{1, 2, 3}));

    EXPECT_EQ(dev.PumpPort(10), 0);  // quiet line: time-out
    // A deadline already past returns at once instead of waiting forever.
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(dev.PumpPort(-3), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(1));
    dev.ClosePort();
    EXPECT_EQ(dev.PumpPort(10), -1);
    EXPECT_EQ(dev.SendData(a.data(), 3), -1);
}

// An adapter that echoes: every request comes back before its answer. The
// echo is logged once per line; reopening the line starts afresh, and a
// frame left half-received on the old line does not cut the first new one.
TEST(SerialPort, EchoesOfAnEchoingAdapterAreDroppedAndLoggedOncePerLine) {
    Pty pty;
    ASSERT_FALSE(pty.slave.empty());
    auto ctl = std::make_shared<testing_support::RecordingController>();
    Payloads dev;
    dev.Init(ctl, 42);
    for (int line = 0; line < 2; ++line) {
        ASSERT_TRUE(dev.OpenPort(pty.slave));
        for (int k = 0; k < 2; ++k) {
            dev.write_pmbus_cmd(0x41, 0x41);
            auto echoed = pty.read_some();
            ASSERT_FALSE(echoed.empty());
            testing_support::put(echoed, testing_support::answer(0x41, {static_cast<unsigned char>(line * 2 + k)}));
            ASSERT_EQ(write(pty.master, echoed.data(), echoed.size()), static_cast<ssize_t>(echoed.size()));
            while (dev.IsProcessing() && dev.PumpPort(500) > 0) {
            }
        }
        const auto half = testing_support::answer(0x41, {9});
        ASSERT_EQ(write(pty.master, half.data(), 8), 8);
        EXPECT_EQ(dev.PumpPort(500), 8);
        dev.ClosePort();
    }
    EXPECT_EQ(dev.got, (std::vector<std::vector<unsigned char>>{{0}, {1}, {2}, {3}}));
    EXPECT_EQ(dev.counters().echoes, 4u);
    EXPECT_EQ(dev.counters().error_answers, 0u);
    EXPECT_EQ(dev.counters().rejected, 0u);
    EXPECT_EQ(ctl->logs.size(), 2u);
    for (const auto& l : ctl->logs) EXPECT_EQ(l.rfind("PMBusProtocol:FrameError 42 dropped the echo of request 65 65", 0), 0u) << l;
}

// A controller that repeats its answer: the copy reaches the line while the
// first one is handled, before the next request goes out, and arrives in a
// later read than the first. What waits on the line when the request is
// written came before it: it is stale, and the real answer is taken.
TEST(SerialPort, ARepeatedAnswerWaitingOnTheLineIsNeverTakenForTheNextAnswer) {
    Pty pty;
    ASSERT_FALSE(pty.slave.empty());
    const auto first = testing_support::answer(0x40, {1});
    struct Chain : Payloads {
        int master = -1;
        std::vector<unsigned char> copy;
        bool process_payload() override {
            Payloads::process_payload();
            if (got.size() == 1) {
                // The repeat lands during the dispatch's pause.
                EXPECT_EQ(write(master, copy.data(), copy.size()), static_cast<ssize_t>(copy.size()));
                usleep(20000);
                write_pmbus_cmd(0x40, 0x43);
            }
            return true;
        }
    } dev;
    dev.master = pty.master;
    dev.copy = first;
    std::vector<std::string> tap;
    ASSERT_TRUE(dev.OpenPort(pty.slave));
    dev.SetLineTap([&](bool tx, const unsigned char* d, size_t n) {
        tap.push_back(std::string(tx ? "tx " : "rx ") + std::string(d, d + n));
    });
    dev.write_pmbus_cmd(0x40, 0x41);
    pty.read_some();
    tap.clear();
    ASSERT_EQ(write(pty.master, first.data(), first.size()), static_cast<ssize_t>(first.size()));
    EXPECT_GT(dev.PumpPort(500), 0);
    const auto real = testing_support::answer(0x40, {2});
    ASSERT_EQ(write(pty.master, real.data(), real.size()), static_cast<ssize_t>(real.size()));
    while (dev.IsProcessing() && dev.PumpPort(500) > 0) {
    }
    EXPECT_EQ(dev.got, (std::vector<std::vector<unsigned char>>{{1}, {2}}));
    EXPECT_EQ(dev.counters().stale, 1u);
    EXPECT_FALSE(dev.IsProcessing());
    // The host sees the bytes the layer took itself, before the request.
    ASSERT_EQ(tap.size(), 2u);
    EXPECT_EQ(tap[0], "rx " + std::string(first.begin(), first.end()));
    EXPECT_EQ(tap[1], "tx ~200140430000FDB2\r");
}

TEST(SerialPort, RefusesUnknownPathsAndSpeeds) {
    Payloads dev;
    EXPECT_FALSE(dev.OpenPort("/nonexistent/tty"));
    Pty pty;
    struct OddSpeed : Payloads {
        OddSpeed() { baud_rate = 12345; }
    } odd;
    EXPECT_FALSE(odd.OpenPort(pty.slave));
}

}  // namespace
