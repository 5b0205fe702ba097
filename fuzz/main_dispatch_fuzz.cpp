// Drives the M520S main device, with its real AC, DC and rectifier units, by
// arbitrary answers on the line.
//
// The first input byte configures the device: AC panels (bits 0-1), DC panels
// (bits 2-4) and the version that sends DC requests with the command group
// (bit 5); there is always a rectifier group. 0x0A is the usual two AC and two
// DC panels. The rest is a script of up to kMaxOps operations; each starts
// with an op byte whose low two bits pick:
//
//   0  raw line bytes: a size, then that many bytes through process(); with
//      op bit 5 instead the echo of the last request, as an echoing
//      half-duplex adapter returns it;
//   1  a well-formed answer: a size, then that many INFO bytes (at most the
//      frame's limit), framed with frame::encode for the CID1 the current
//      step expects (op bit 2: another CID1, op bit 3: an error return code);
//      the size is one byte, or two (little-endian) with op bit 4, so that the
//      answers of many DC panels fit; op bit 5: two copies in one read, as a
//      controller that repeats its answer sends them;
//   2  a poll: RefreshStatus(), after moving the frame layer's clock (op
//      bits 2-4, in time-outs) and the last update back (op bit 5), so that
//      retransmits, give-ups, stalls and the two-second guard all happen;
//   3  the controller's queued alarm work runs.
//
// Requests the device writes are swallowed; the dispatch pause is a no-op.
// Checks (abort on violation): after every operation the polling step is
// one of 0..9 or 14 and the frame layer's reject total is the sum of its
// reasons; an echo is never taken for an answer; an answer of another group
// is never taken, and counted as such while a request is in flight; of two
// copies in one read at most one is taken, and when its handling sent the
// next request the other is stale; whatever state the script leaves, a few
// polls spaced by the stall limit send a request again; nothing crashes; the
// sanitizers report nothing.

#include <chrono>
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "device/m520s.h"
#include "fuzz/exact.h"
#include "host/controller.h"
#include "host/frame.h"

namespace {

constexpr int kMaxOps = 48;

void check(bool ok) {
    if (!ok) std::abort();
}

class CountingController : public SMDController {
public:
    size_t lines = 0;
    void Log(const std::string& rendered) override { lines += rendered.size() > 0; }
};

class FuzzM520S : public M520S {
public:
    using M520S::address;
    using M520S::last_update;
    using M520S::stall_ms;
    using M520S::step;
    using M520S::timeout_ms;
    using M520S::version;

    size_t requests = 0;
    std::vector<unsigned char> last_request;
    int SendData(const unsigned char* d, int n) override {
        ++requests;
        last_request.assign(d, d + n);
        return n;
    }

    Clock::time_point now{};
    Clock::time_point Now() const override { return now; }

    // The CID1 of the answer the current step waits for.
    uint8_t expected_cid1() const {
        switch (step) {
            case 4: case 5: case 6: return 0x41;
            case 7: case 8: case 9: return 0x42;
            default: return 0x40;  // device information, AC answers, AC parameters
        }
    }
};

bool valid_step(int32_t s) { return (s >= 0 && s <= 9) || s == 14; }

bool counters_add_up(const PMBusProtocol::Counters& c) {
    return c.rejected == c.non_hex + c.odd_length + c.too_short + c.too_long + c.truncated + c.bad_lchksum +
                             c.lenid_mismatch + c.bad_chksum + c.unfinished + c.wrong_version + c.wrong_address &&
           c.stalls <= c.give_ups && c.retransmits <= c.timeouts + c.error_answers + c.unfinished;
}

// Raw bytes, the echo of the last request, or one or two copies of an answer
// (op 0 and 1 above), through process() from an exact copy, and what the
// frame layer must have made of them.
void line_op(FuzzM520S& m, uint8_t op, const uint8_t* data, size_t size, size_t& at) {
    size_t n = 0;
    if (at < size) n = data[at++];
    if ((op & 0x10) && at < size) n |= static_cast<size_t>(data[at++]) << 8;
    n = std::min(n, size - at);
    const bool answer = (op & 3) == 1, echo = !answer && (op & 0x20);
    const bool other_group = answer && (op & 4), doubled = answer && (op & 0x20);
    if (answer) n = std::min(n, frame::kMaxInfoBytes);
    const uint8_t* bytes = data + at;
    at += n;
    std::vector<unsigned char> line;
    if (echo) {
        at -= n;  // the size byte is all it takes
        line = m.last_request;
    } else if (!answer) {
        line.assign(bytes, bytes + n);
    } else {
        const uint8_t cid1 = other_group ? static_cast<uint8_t>(m.expected_cid1() + 1) : m.expected_cid1();
        const uint8_t rtn = (op & 8) ? 0x04 : 0x00;
        line = frame::encode(m.version, m.address, cid1, rtn, bytes, n);
        if (doubled) line.insert(line.end(), line.begin(), line.end());
    }
    if (line.empty()) return;
    const PMBusProtocol::Counters before = m.counters();
    const size_t requests = m.requests;
    const bool in_flight = m.IsProcessing();
    // Exactly sized, so the frame layer's reads are bounded too.
    const fuzz::Exact buf(line.data(), line.size());
    m.process(buf.data(), static_cast<unsigned int>(buf.len()));
    const PMBusProtocol::Counters& after = m.counters();
    if (echo) check(after.answers == before.answers);
    if (!answer) return;
    check(after.answers <= before.answers + 1);
    if (other_group) {
        check(after.answers == before.answers);
        if (in_flight) check(after.wrong_group == before.wrong_group + (doubled ? 2 : 1));
    }
    if (doubled && after.answers == before.answers + 1 && m.requests > requests)
        check(after.stale == before.stale + 1);
}

// The settings of each configuration, built once.
const Json::Value& settings_for(uint8_t config) {
    static Json::Value cache[32];
    Json::Value& s = cache[config & 31u];
    if (s.isNull()) {
        s = Json::Value(Json::objectValue);
        s["acSetting"] = Json::Value(Json::arrayValue);
        s["dcSetting"] = Json::Value(Json::arrayValue);
        for (unsigned i = 0; i < (config & 3u); ++i) s["acSetting"][i]["data_id"] = 11 + i;
        for (unsigned i = 0; i < ((config >> 2) & 7u); ++i) s["dcSetting"][i]["data_id"] = 21 + i;
        s["rcSetting"] = Json::Value(Json::objectValue);
    }
    return s;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Two unit parsers print every portion they read; at fuzzing speed that
    // costs more than the parsing. Standard output is not looked at here.
    std::cout.setstate(std::ios_base::badbit);
    if (!std::freopen("/dev/null", "w", stdout)) std::abort();
    host::set_sleep([](unsigned int) {});
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const uint8_t config = data[0];
    auto controller = std::make_shared<CountingController>();
    auto m = std::make_shared<FuzzM520S>();
    m->Init(controller, 100);
    check(m->InitSetting(settings_for(config)));
    if (config & 0x20) m->version = 0x21;
    m->RefreshStatus();  // device information request

    size_t at = 1;
    for (int i = 0; i < kMaxOps && at < size; ++i) {
        const uint8_t op = data[at++];
        switch (op & 3) {
            case 0:
            case 1: line_op(*m, op, data, size, at); break;
            case 2:
                m->now += std::chrono::milliseconds(1500) * ((op >> 2) & 7);
                if (op & 0x20)
                    m->last_update = boost::posix_time::second_clock::local_time() - boost::posix_time::seconds(3);
                m->RefreshStatus();
                break;
            case 3: controller->RunQueuedWork(); break;
        }
        check(valid_step(m->step));
        check(counters_add_up(m->counters()));
    }

    // However the script left it, the poll goes on: within three polls, each
    // after the stall limit and a time-out have passed, a request goes out
    // (a retransmit, the request of the step, or a new cycle after the layer
    // gave up).
    const size_t before = m->requests;
    for (int k = 0; k < 3 && m->requests == before; ++k) {
        m->now += std::chrono::milliseconds(m->stall_ms + m->timeout_ms);
        m->last_update = boost::posix_time::second_clock::local_time() - boost::posix_time::seconds(3);
        m->RefreshStatus();
        check(valid_step(m->step));
    }
    check(m->requests > before);

    controller->RunQueuedWork();
    return 0;
}
