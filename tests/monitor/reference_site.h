#pragma once
// The reference site's answers (2 AC panels of 3 channels, 2 DC panels, 8
// rectifier modules), encoded with the host codec, and a controller that
// serves them on a pseudo-terminal. Used where the test must decide every
// byte (silence, a chosen alarm state) and by the benchmark.

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "host/frame.h"
#include "tests/support/frames.h"

namespace monitor_test {

using testing_support::Bytes;
using testing_support::f32;
using testing_support::put;

struct ReferenceSite {
    uint8_t flags = 0x11;                  // ask for every optional request
    std::array<uint8_t, 2> ac_a_state{};   // phase A state of each panel's first channel
    std::array<uint8_t, 8> rc_fault{};     // module fault bytes
    std::array<uint8_t, 2> dc_v_state{};   // 1 low, 2 high
    std::array<float, 2> dc_v{53.5f, 54.0f};
    std::array<float, 2> ac_ia{12.5f, 11.75f};

    Bytes Info(uint8_t cid1, uint8_t cid2) const {
        Bytes b;
        if (cid1 == 0x40 && cid2 == 0x51) {
            b = {'M', '5', '2', '0', 'S'};
            b.resize(20, ' ');
        } else if (cid1 == 0x40 && cid2 == 0x41) {
            b = {flags, 2};
            for (int p = 0; p < 2; ++p) {
                b.push_back(3);
                for (int ch = 0; ch < 3; ++ch) {
                    put(b, f32(229.5f + ch + 10 * p));
                    put(b, f32(230.1f));
                    put(b, f32(231.0f - ch));
                    put(b, f32(50.02f));
                    b.push_back(0);
                }
                put(b, f32(ac_ia[p]));
                put(b, f32(11.0f));
                put(b, f32(13.0f));
            }
        } else if (cid1 == 0x40 && cid2 == 0x43) {
            b = {flags, 2};
            for (int p = 0; p < 2; ++p) put(b, {0, 3, 0, 0, 1});
        } else if (cid1 == 0x40 && cid2 == 0x44) {
            b = {flags, 2};
            for (int p = 0; p < 2; ++p) {
                b.push_back(3);
                for (int ch = 0; ch < 3; ++ch)
                    put(b, {static_cast<uint8_t>(ch == 0 ? ac_a_state[p] : 0), 0, 0, 0, 0, 8, 0, 0, 0, 0, 0, 0, 0, 0});
                put(b, {0, 0, 0});
            }
        } else if (cid1 == 0x41 && cid2 == 0x41) {
            b = {flags};
            put(b, f32(53.5f));
            b.push_back(8);
            for (int m = 0; m < 8; ++m) {
                put(b, f32(20.0f + m));
                b.push_back(7);
                for (int k = 0; k < 7; ++k) put(b, f32(1.0f + k));
            }
        } else if (cid1 == 0x41 && cid2 == 0x43) {
            b = {0, 8};
            for (int m = 0; m < 8; ++m) put(b, {0, 1, 0, 6, 0, 0, 0, 0, 0, 0});
        } else if (cid1 == 0x41 && cid2 == 0x44) {
            b = {0, 8};
            for (int m = 0; m < 8; ++m) put(b, {rc_fault[m], 8, 0, 0, 0, 0, 0, 0, 0, 0});
        } else if (cid1 == 0x42 && cid2 == 0x41) {
            b = {flags, 2};
            for (int p = 0; p < 2; ++p) {
                put(b, f32(dc_v[p]));
                put(b, f32(120.25f));
                b.push_back(2);
                put(b, f32(1.5f));
                put(b, f32(-2.5f));
                put(b, {0, 20});
                for (int k = 0; k < 20; ++k) put(b, f32(0.5f * k));
            }
        } else if (cid1 == 0x42 && cid2 == 0x44) {
            b = {flags, 2};
            for (int p = 0; p < 2; ++p) {
                put(b, {dc_v_state[p], 2, 0, 0, 71});
                b.resize(b.size() + 71, 0);
            }
        } else if (cid1 == 0x40 && cid2 == 0x46) {
            for (float v : {220.0f, 240.0f, 180.0f, 55.0f, 45.0f}) put(b, f32(v));
            b.push_back(0);
        } else if (cid1 == 0x42 && cid2 == 0x46) {
            put(b, f32(57.6f));
            put(b, f32(45.0f));
            b.push_back(0);
        }
        return b;
    }

    Bytes Answer(uint8_t cid1, uint8_t cid2) const { return testing_support::answer(cid1, Info(cid1, cid2)); }
};

// The controller's end of a pseudo-terminal, answering on a thread.
class FakeController {
public:
    FakeController() {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) throw std::runtime_error("no pty");
        path = ptsname(master);
        worker = std::thread([this] { run(); });
    }
    ~FakeController() {
        done = true;
        worker.join();
        close(master);
    }
    const std::string& Path() const { return path; }

    // Changes the site under the lock the answers are built with.
    template <class Fn>
    void Change(Fn&& fn) {
        std::lock_guard<std::mutex> lock(mutex);
        fn(site);
    }
    std::atomic<bool> silent{false};
    std::atomic<int> requests{0};

private:
    void run() {
        frame::Receiver rx;
        while (!done) {
            pollfd p{master, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0) continue;
            unsigned char buf[512];
            const ssize_t n = read(master, buf, sizeof buf);
            if (n <= 0) {
                // No slave open yet (or it closed): wait for the next one.
                usleep(20000);
                continue;
            }
            rx.feed(
                buf, static_cast<size_t>(n),
                [&](const Bytes& v) {
                    ++requests;
                    if (silent) return;
                    Bytes out;
                    {
                        std::lock_guard<std::mutex> lock(mutex);
                        out = site.Answer(v[frame::kViewCid1], v[frame::kViewRtn]);
                    }
                    if (write(master, out.data(), out.size()) < 0) {
                    }
                },
                nullptr);
        }
    }

    int master = -1;
    std::string path;
    std::mutex mutex;
    ReferenceSite site;
    std::atomic<bool> done{false};
    std::thread worker;
};

}  // namespace monitor_test
