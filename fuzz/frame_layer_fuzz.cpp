// Drives the frame layer (PMBusProtocol) by itself, and the plug-in's
// factories, with fuzzed settings and a fuzzed conversation.
//
// Input: a settings part, then a script.
// - Settings: byte 0 says what the root is (an object of up to eight keys
//   built from the following bytes, or a number, text, array or null); each
//   key is one of the frame layer's ("address", "timeout_ms", "retries",
//   "stall_ms", "frame_gap_ms"), of the main device's ("acSetting",
//   "dcSetting", "rcSetting", "data_id") or unknown, with a value of any
//   JSON type: integers small and large, negative, fractions, texts, arrays,
//   objects. The layer's InitSetting() must accept exactly what a plain
//   model of its rules accepts and apply exactly what the model says, or
//   nothing at all. The same settings go to the main device made by the
//   plug-in's factory (get_providers(), each of the four create()) and, as
//   their own settings, to a unit of each kind.
// - Script, up to kMaxOps operations, each an op byte and its operands: a new
//   request; its answer in one of a dozen shapes (right, of another group,
//   other VER or ADR, error return, echo, two copies in one read, cut in two
//   reads, behind garbage, begun before a retransmission); raw bytes; a poll
//   after the clock moved on; and switches for whether the handler writes the
//   next request from inside process_payload() and whether the line answers
//   at once from inside SendData().
// Checks: every counter agrees with what the observer was told; the reject
// total is the sum of its reasons; process_payload() sees only an answer of
// the group asked, with the layer's VER and ADR and RTN 0, right after the
// observer was told it was accepted; the second copy of an answer whose
// handling sent the next request is stale; an answer of another group leaves
// the request in flight and is not retransmitted before its time-out; the
// layer gives up after the retries, never before.

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "fuzz/exact.h"
#include "host/controller.h"
#include "host/frame.h"
#include "host/pmbus_protocol.h"
#include "plugin/providers.h"

namespace {

constexpr int kMaxOps = 48;
using Outcome = PMBusProtocol::Observer::Outcome;
using Bytes = std::vector<unsigned char>;

// Says which check failed, so a finding explains itself.
void check_at(bool ok, int line) {
    if (ok) return;
    std::fprintf(stderr, "frame_layer_fuzz: check at line %d failed\n", line);
    std::abort();
}
#define check(ok) check_at((ok), __LINE__)

class CountingController : public SMDController {
public:
    size_t lines = 0;
    void Log(const std::string& rendered) override { lines += !rendered.empty(); }
};

// What the observer was told, by outcome.
struct Told : PMBusProtocol::Observer {
    uint64_t frames[8] = {};
    uint64_t requests = 0, retransmissions = 0, give_ups = 0;
    bool last_accepted = false;  // the latest event was an Accepted frame
    Bytes accepted_view;
    const int* retries = nullptr;
    int tries = 0;  // of the request in flight
    void OnRequest(uint8_t, uint8_t, bool again) override {
        ++(again ? retransmissions : requests);
        tries = again ? tries + 1 : 1;
        last_accepted = false;
    }
    void OnFrame(Outcome o, const std::vector<unsigned char>& view) override {
        ++frames[static_cast<int>(o)];
        last_accepted = o == Outcome::Accepted;
        if (last_accepted) accepted_view = view;
    }
    void OnGiveUp(uint8_t, uint8_t, bool stall) override {
        ++give_ups;
        // On a request, only once it went out as often as the retries allow.
        if (!stall) check(tries == *retries + 1);
        last_accepted = false;
    }
};

class Layer : public PMBusProtocol {
public:
    using PMBusProtocol::address;
    using PMBusProtocol::frame_gap_ms;
    using PMBusProtocol::retries;
    using PMBusProtocol::stall_ms;
    using PMBusProtocol::step;
    using PMBusProtocol::timeout_ms;
    using PMBusProtocol::version;

    Told told;
    Clock::time_point now = Clock::time_point{} + std::chrono::hours(1);
    bool chain = false;       // process_payload() writes the next request
    bool answer_now = false;  // SendData() answers the request at once
    uint8_t cid1 = 0, cid2 = 0;  // the request in flight, as the script wrote it
    Bytes sent;                  // the last bytes written
    uint64_t writes = 0, payloads = 0, issued = 0;
    uint64_t prompt = 0;  // answers the line gave from inside SendData()
    // Whether the try in flight already ended early (an error return, a
    // frame without an end): then it goes out again at the next poll.
    uint64_t errors_at_send = 0, unfinished_at_send = 0;
    bool try_ended() const {
        return told.frames[static_cast<int>(Outcome::ErrorReturn)] != errors_at_send ||
               counters().unfinished != unfinished_at_send;
    }
    unsigned char tag = 0;

    Layer() {
        told.retries = &retries;
        SetObserver(&told);
    }
    bool LoadFromCache(const unsigned char*, int) override { return true; }
    void request(uint8_t c1, uint8_t c2) {
        cid1 = c1;
        cid2 = c2;
        ++issued;
        write_pmbus_cmd(c1, c2);
    }
    Bytes answer(uint8_t c1, uint8_t rtn = 0) const {
        const unsigned char info[2] = {tag, 0x5A};
        return frame::encode(version, address, c1, rtn, info, 2);
    }
    void feed(const Bytes& b) {
        const fuzz::Exact copy(b.data(), b.size());
        process(copy.data(), static_cast<unsigned>(copy.len()));
    }

protected:
    Clock::time_point Now() const override { return now; }
    int SendData(const unsigned char* d, int n) override {
        ++writes;
        sent.assign(d, d + n);
        errors_at_send = told.frames[static_cast<int>(Outcome::ErrorReturn)];
        unfinished_at_send = counters().unfinished;
        if (answer_now) {
            answer_now = false;  // once: a line, not a loop
            ++prompt;
            feed(answer(cid1));
        }
        return n;
    }
    bool process_payload() override {
        ++payloads;
        check(told.last_accepted);
        const size_t n = static_cast<size_t>(recv_frame[frame::kViewLenLo] | recv_frame[frame::kViewLenHi] << 8) / 2;
        check(told.accepted_view.size() == frame::kViewInfo + n &&
              std::equal(told.accepted_view.begin(), told.accepted_view.end(), recv_frame));
        check(recv_frame[frame::kViewCid1] == cid1 && recv_frame[frame::kViewRtn] == 0);
        check(recv_frame[frame::kViewVer] == version && recv_frame[frame::kViewAdr] == address);
        if (chain) request(static_cast<uint8_t>(0x40 + (cid1 + 1) % 3), 0x41);
        return true;
    }
};

}  // namespace

// Settings from fuzz bytes, and the model of what the layer makes of them.
#include "fuzz/frame_layer_settings.h"

namespace {

bool counters_agree(const Layer& l) {
    const auto& c = l.counters();
    const Told& t = l.told;
    return c.rejected == c.non_hex + c.odd_length + c.too_short + c.too_long + c.truncated + c.bad_lchksum +
                             c.lenid_mismatch + c.bad_chksum + c.unfinished + c.wrong_version + c.wrong_address &&
           t.frames[static_cast<int>(Outcome::Accepted)] == c.answers &&
           t.frames[static_cast<int>(Outcome::ErrorReturn)] == c.error_answers &&
           t.frames[static_cast<int>(Outcome::Echo)] == c.echoes &&
           t.frames[static_cast<int>(Outcome::Stray)] == c.stray_frames &&
           t.frames[static_cast<int>(Outcome::Stale)] == c.stale &&
           t.frames[static_cast<int>(Outcome::WrongGroup)] == c.wrong_group &&
           t.frames[static_cast<int>(Outcome::WrongVersion)] == c.wrong_version &&
           t.frames[static_cast<int>(Outcome::WrongAddress)] == c.wrong_address && t.give_ups == c.give_ups &&
           t.retransmissions == c.retransmits && t.requests == l.issued && c.answers == l.payloads &&
           c.stalls <= c.give_ups;
}

// One answer to the request in flight, in the shape the op asks for.
void answer_op(Layer& l, uint8_t shape, uint8_t arg) {
    const auto before = l.counters();
    const bool in_flight = l.IsProcessing(), ended = l.try_ended();
    const uint64_t writes = l.writes, prompt = l.prompt;
    const uint8_t other = static_cast<uint8_t>(0x40 + (l.cid1 - 0x40 + 1 + arg % 2) % 3);
    Bytes a = l.answer(l.cid1);
    switch (shape % 12) {
        case 0: l.feed(a); break;
        case 1: l.feed(l.answer(other)); break;
        case 2: {  // two copies in one read
            Bytes two = a;
            two.insert(two.end(), a.begin(), a.end());
            l.feed(two);
            // The first is the answer; if its handling sent the next
            // request, the second began before that went out.
            const auto& c = l.counters();
            if (in_flight && l.writes > writes) check(c.stale == before.stale + 1);
            check(c.answers <= before.answers + 1 + (l.prompt - prompt));
            break;
        }
        case 3: l.feed(frame::encode(static_cast<uint8_t>(l.version ^ 1), l.address, l.cid1, 0, &arg, 1)); break;
        case 4: l.feed(frame::encode(l.version, static_cast<uint8_t>(l.address + 1), l.cid1, 0, &arg, 1)); break;
        case 5: l.feed(l.answer(l.cid1, static_cast<uint8_t>(1 + arg % 6))); break;
        case 6: l.feed(l.sent); break;  // the echo
        case 7: {                       // cut in two reads
            const size_t cut = 1 + arg % (a.size() - 1);
            l.feed(Bytes(a.begin(), a.begin() + static_cast<long>(cut)));
            l.feed(Bytes(a.begin() + static_cast<long>(cut), a.end()));
            break;
        }
        case 8: {  // behind garbage
            Bytes g(1 + arg % 9, static_cast<unsigned char>(arg | 0x80));
            g.insert(g.end(), a.begin(), a.end());
            l.feed(g);
            break;
        }
        case 9: {  // begun before the retransmission: stale, the request stays
            l.feed(Bytes(a.begin(), a.begin() + 3));
            l.now += std::chrono::milliseconds(l.timeout_ms);
            // (A partial frame older than the frame gap is dropped first.)
            const bool kept = l.frame_gap_ms > l.timeout_ms;
            l.RefreshStatus();
            // (An answer the line gave at once would cut the partial short.)
            const bool retransmitted = in_flight && l.IsProcessing() && l.writes > writes && l.prompt == prompt;
            l.feed(Bytes(a.begin() + 3, a.end()));
            if (retransmitted && kept) check(l.counters().stale == before.stale + 1 && l.IsProcessing());
            break;
        }
        default: l.feed(l.answer(static_cast<uint8_t>(arg))); break;
    }
    const auto& c = l.counters();
    // One answer at most per request the op's line answered.
    check(c.answers <= before.answers + 1 + (l.prompt - prompt));
    if (shape % 12 == 1 && in_flight) {
        // Dropped, still waiting, and not sent again before its time-out.
        check(c.wrong_group == before.wrong_group + 1 && c.answers == before.answers && l.IsProcessing());
        l.RefreshStatus();
        if (!ended) check(l.writes == writes);
    }
}

void script(Layer& l, const uint8_t* data, size_t size) {
    size_t at = 0;
    for (int i = 0; i < kMaxOps && at + 2 <= size; ++i, at += 2) {
        const uint8_t op = data[at], arg = data[at + 1];
        l.tag = arg;
        switch (op % 6) {
            case 0: l.request(static_cast<uint8_t>(0x40 + arg % 3), static_cast<uint8_t>(0x41 + arg / 3 % 16)); break;
            case 1: answer_op(l, op / 6, arg); break;
            case 2:  // a poll, the clock moved on by up to four half time-outs
                l.now += std::chrono::milliseconds(l.timeout_ms / 2 * (arg % 5));
                l.RefreshStatus();
                break;
            case 3: {  // raw bytes, the next arg % 24 of the input
                const size_t n = std::min<size_t>(arg % 24, size - at - 2);
                l.feed(Bytes(data + at + 2, data + at + 2 + n));
                at += n;
                break;
            }
            case 4: l.chain = arg & 1; break;
            case 5: l.answer_now = true; break;
        }
        check(counters_agree(l));
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The driver's units print what they parse; nobody looks here.
    std::cout.setstate(std::ios_base::badbit);
    if (!std::freopen("/dev/null", "w", stdout)) std::abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    size_t at = 0;
    const Json::Value settings = fuzz_settings::build(data, size, at);
    auto controller = std::make_shared<CountingController>();

    auto layer = std::make_shared<Layer>();
    layer->Init(controller, 7);
    const fuzz_settings::Applied before{layer->address, layer->timeout_ms, layer->retries, layer->stall_ms,
                                        layer->frame_gap_ms};
    const bool ok = layer->InitSetting(settings);
    const fuzz_settings::Applied got{layer->address, layer->timeout_ms, layer->retries, layer->stall_ms,
                                     layer->frame_gap_ms};
    const auto want = fuzz_settings::model(settings, before);
    check(ok == want.has_value());
    check(got == (want ? *want : before));

    fuzz_settings::through_factories(settings, controller);
    script(*layer, data + at, size - at);
    controller->RunQueuedWork();
    return 0;
}
