// Answers that are not the answer to the request in flight: a repeated
// answer (a second copy in the same read, or one begun before a
// retransmission) is stale, an answer of another group is dropped and the
// request waits for its time-out. And what the host program's observer is
// told about all of it, in the order it happened.

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "host/pmbus_protocol.h"
#include "tests/support/frames.h"
#include "tests/support/main_fixture.h"
#include "tests/support/recording_controller.h"

namespace {

using testing_support::answer;
using testing_support::Bytes;
using testing_support::put;
using Outcome = PMBusProtocol::Observer::Outcome;

const char* outcome_name(Outcome o) {
    switch (o) {
        case Outcome::Accepted: return "accepted";
        case Outcome::ErrorReturn: return "error";
        case Outcome::Echo: return "echo";
        case Outcome::Stray: return "stray";
        case Outcome::Stale: return "stale";
        case Outcome::WrongGroup: return "wrong_group";
        case Outcome::WrongVersion: return "wrong_version";
        case Outcome::WrongAddress: return "wrong_address";
    }
    return "?";
}

// Everything the observer is told, one line each, plus what process_payload
// saw, in one sequence: "request 40/41", "retransmit 40/41", "accepted 40 #3"
// (CID1 and first INFO byte), "payload #3", "give_up 42/46".
class Journal : public PMBusProtocol::Observer {
public:
    std::vector<std::string> lines;
    void OnRequest(uint8_t cid1, uint8_t cid2, bool again) override {
        lines.push_back(fmt::format("{} {:02X}/{:02X}", again ? "retransmit" : "request", cid1, cid2));
    }
    void OnFrame(Outcome o, const std::vector<unsigned char>& view) override {
        const int first = view.size() > frame::kViewInfo ? view[frame::kViewInfo] : -1;
        lines.push_back(fmt::format("{} {:02X} #{}", outcome_name(o), view[frame::kViewCid1], first));
    }
    void OnGiveUp(uint8_t cid1, uint8_t cid2, bool stall) override {
        lines.push_back(fmt::format("{} {:02X}/{:02X}", stall ? "stall" : "give_up", cid1, cid2));
    }
};

// The frame layer with a hand-driven clock and a payload handler that, like
// the main device, writes the next request of a script from inside
// process_payload().
class Layer : public PMBusProtocol {
public:
    using PMBusProtocol::retries;
    using PMBusProtocol::step;
    using PMBusProtocol::timeout_ms;

    Journal journal;
    std::vector<std::pair<uint8_t, uint8_t>> next;  // requests to write, one per accepted answer
    std::function<void(Layer&)> on_send;            // a line that answers at once
    Clock::time_point now = Clock::time_point{} + std::chrono::hours(1);
    int sends = 0;

    Layer() { SetObserver(&journal); }
    void advance(int ms) { now += std::chrono::milliseconds(ms); }
    void feed(const Bytes& in) {
        std::unique_ptr<unsigned char[]> buf(new unsigned char[in.size()]);
        std::memcpy(buf.get(), in.data(), in.size());
        process(buf.get(), static_cast<unsigned>(in.size()));
    }
    bool LoadFromCache(const unsigned char*, int) override { return true; }

protected:
    Clock::time_point Now() const override { return now; }
    int SendData(const unsigned char*, int len) override {
        ++sends;
        if (on_send) on_send(*this);
        return len;
    }
    bool process_payload() override {
        journal.lines.push_back(fmt::format("payload #{}", recv_frame[frame::kViewInfo]));
        if (next.empty()) return true;
        const auto [cid1, cid2] = next.front();
        next.erase(next.begin());
        step = step + 1;
        write_pmbus_cmd(cid1, cid2);
        return true;
    }
};

struct LineAnswers : ::testing::Test {
    std::shared_ptr<testing_support::RecordingController> ctl =
        std::make_shared<testing_support::RecordingController>();
    std::shared_ptr<Layer> p = std::make_shared<Layer>();
    void SetUp() override { p->Init(ctl, 42); }

    // An answer whose first INFO byte tags it.
    static Bytes tagged(uint8_t cid1, unsigned char tag, uint8_t rtn = 0) { return answer(cid1, {tag, 0x55}, rtn); }
    static Bytes twice(const Bytes& a) {
        Bytes b = a;
        put(b, a);
        return b;
    }
};

// Both copies of a doubled answer in one read: the second began before the
// request that the first one's handling wrote, so it is stale; the real
// answer to that request, in the next read, is taken.
TEST_F(LineAnswers, TheSecondCopyOfADoubledAnswerIsStaleAndTheRealAnswerIsTaken) {
    p->next = {{0x40, 0x43}, {0x42, 0x46}};
    p->write_pmbus_cmd(0x40, 0x41);
    p->feed(twice(tagged(0x40, 1)));
    p->feed(tagged(0x40, 2));
    EXPECT_EQ(p->journal.lines, (std::vector<std::string>{"request 40/41", "accepted 40 #1", "payload #1",
                                                          "request 40/43", "stale 40 #1", "accepted 40 #2",
                                                          "payload #2", "request 42/46"}));
    const auto& c = p->counters();
    EXPECT_EQ(c.stale, 1u);
    EXPECT_EQ(c.answers, 2u);
    EXPECT_EQ(c.rejected, 0u);  // well-formed: not a codec reject
    EXPECT_EQ(ctl->logs, std::vector<std::string>{"PMBusProtocol:FrameError 42 dropped frame: CID1 64 RTN 0 began "
                                                  "before request 64 67 was sent"});

    // A copy cut across two reads, the real answer right behind its tail in
    // the second: only the copy is stale.
    const Bytes copy = tagged(0x42, 2);
    Bytes first = tagged(0x42, 2);
    put(first, Bytes(copy.begin(), copy.begin() + 7));
    Bytes second(copy.begin() + 7, copy.end());
    put(second, tagged(0x41, 3));
    p->journal.lines.clear();
    p->next = {{0x41, 0x41}};
    p->feed(first);
    p->feed(second);
    EXPECT_EQ(p->journal.lines, (std::vector<std::string>{"accepted 42 #2", "payload #2", "request 41/41",
                                                          "stale 42 #2", "accepted 41 #3", "payload #3"}));
    EXPECT_EQ(p->counters().stale, 2u);
    EXPECT_FALSE(p->IsProcessing());
}

// A line that answers while the answer before is still being handled: its
// bytes wait behind the rest of the read, and are not stale, while the copy
// still in that read is.
TEST_F(LineAnswers, AnAnswerThatArrivesInsideTheHandlingOfTheLastOneIsTakenAfterTheStaleCopy) {
    int answered = 0;
    p->on_send = [&](Layer& d) {
        if (answered++ == 1) d.feed(tagged(0x41, 2));  // the answer to the second request, at once
    };
    p->next = {{0x41, 0x43}};
    p->write_pmbus_cmd(0x41, 0x41);
    p->feed(twice(tagged(0x41, 1)));
    EXPECT_EQ(p->journal.lines, (std::vector<std::string>{"request 41/41", "accepted 41 #1", "payload #1",
                                                          "request 41/43", "stale 41 #1", "accepted 41 #2",
                                                          "payload #2"}));
    EXPECT_EQ(p->counters().stale, 1u);
}

// An answer begun before a retransmission answered the try before: stale.
// The answer to the retransmission is taken.
TEST_F(LineAnswers, AnAnswerBegunBeforeARetransmissionIsStale) {
    p->write_pmbus_cmd(0x40, 0x51);
    const Bytes late = tagged(0x40, 7);
    p->advance(p->timeout_ms - 5);
    p->feed(Bytes(late.begin(), late.begin() + 5));
    p->advance(5);
    EXPECT_FALSE(p->RefreshStatus());  // still coming in, but the time is up
    p->feed(Bytes(late.begin() + 5, late.end()));
    p->feed(tagged(0x40, 8));
    EXPECT_EQ(p->journal.lines, (std::vector<std::string>{"request 40/51", "retransmit 40/51", "stale 40 #7",
                                                          "accepted 40 #8", "payload #8"}));
    EXPECT_EQ(p->counters().timeouts, 1u);
    EXPECT_EQ(p->counters().stale, 1u);
}

// An answer of another group is never handed over and does not end the try:
// the request goes out again at its time-out, not before, and the answer
// to that is taken. An error return of another group is no failed try.
TEST_F(LineAnswers, AnAnswerOfAnotherGroupIsDroppedAndTheRequestRetransmittedAtItsTimeOut) {
    p->write_pmbus_cmd(0x42, 0x46);
    p->advance(10);
    p->feed(tagged(0x40, 1));
    p->feed(tagged(0x41, 2, frame::RTN_INVALID_DATA));
    EXPECT_TRUE(p->IsProcessing());
    p->advance(p->timeout_ms - 11);
    EXPECT_FALSE(p->RefreshStatus());
    EXPECT_EQ(p->sends, 1);
    p->advance(1);
    EXPECT_FALSE(p->RefreshStatus());
    EXPECT_EQ(p->sends, 2);
    p->feed(tagged(0x42, 3));
    EXPECT_EQ(p->journal.lines, (std::vector<std::string>{"request 42/46", "wrong_group 40 #1", "wrong_group 41 #2",
                                                          "retransmit 42/46", "accepted 42 #3", "payload #3"}));
    const auto& c = p->counters();
    EXPECT_EQ(c.wrong_group, 2u);
    EXPECT_EQ(c.error_answers, 0u);
    EXPECT_EQ(c.timeouts, 1u);
    EXPECT_EQ(c.retransmits, 1u);
    EXPECT_EQ(c.rejected, 0u);
    EXPECT_TRUE(ctl->logged("PMBusProtocol:FrameError 42 dropped frame: CID1 64 RTN 0 is not the group of request "
                            "66 70"));

    // The counters name them with the other well-formed drops, and the
    // monitor's list has every one once.
    std::vector<std::string> names;
    for (const auto& [n, v] : c.items()) names.push_back(n);
    const auto at = std::find(names.begin(), names.end(), "stray_frames");
    ASSERT_NE(at, names.end());
    EXPECT_EQ(*(at + 1), "stale");
    EXPECT_EQ(*(at + 2), "wrong_group");
    EXPECT_EQ(std::count(names.begin(), names.end(), "wrong_group"), 1);
}

// The observer's view of a whole conversation: each request as it goes out,
// each answer judged before process_payload() runs (so before the request it
// writes), retransmissions flagged, and a give-up with the request it gave
// up on, then a stall with the last one sent.
TEST_F(LineAnswers, TheObserverHearsEverythingInTheOrderItHappened) {
    Json::Value s;
    s["timeout_ms"] = 100;
    s["retries"] = 1;
    ASSERT_TRUE(p->InitSetting(s));
    p->next = {{0x41, 0x41}};
    p->write_pmbus_cmd(0x40, 0x41);
    Bytes echo_then_answer = frame::encode(0x20, 1, 0x40, 0x41, nullptr, 0);
    put(echo_then_answer, tagged(0x40, 1));
    p->feed(echo_then_answer);
    p->feed(answer(0x20, {}, 0, 0x21));  // another VER
    for (int i = 0; i < 2; ++i) {
        p->advance(100);
        p->RefreshStatus();
    }
    p->feed(tagged(0x41, 9));  // after the give-up: nobody asked
    EXPECT_EQ(p->journal.lines,
              (std::vector<std::string>{"request 40/41", "echo 40 #-1", "accepted 40 #1", "payload #1",
                                        "request 41/41", "wrong_version 20 #-1", "retransmit 41/41",
                                        "give_up 41/41", "stray 41 #9"}));
    EXPECT_EQ(p->step, 0);

    // An answer whose handling sends nothing, with a cycle under way: let
    // through once, then nothing sent for the stall limit (2 s guard plus a
    // time-out) is a stall, told with the last request.
    p->journal.lines.clear();
    p->write_pmbus_cmd(0x42, 0x44);
    p->feed(tagged(0x42, 5));
    p->step = 3;
    EXPECT_TRUE(p->RefreshStatus());
    p->advance(2099);
    EXPECT_TRUE(p->RefreshStatus());
    p->advance(1);
    EXPECT_FALSE(p->RefreshStatus());
    EXPECT_EQ(p->journal.lines,
              (std::vector<std::string>{"request 42/44", "accepted 42 #5", "payload #5", "stall 42/44"}));
    EXPECT_EQ(p->counters().stalls, 1u);
}

// The main device on a line that doubles every answer, both copies in one
// read: the cycle is the one of a clean line; every second copy is stale but
// the last, which arrives after the cycle ended, with nothing in flight.
TEST(LineAnswersMainDevice, EveryAnswerDoubledLeavesTheCycleIntact) {
    auto run = [](bool doubled, testing_support::FakeMain& m) {
        EXPECT_TRUE(m.RefreshStatus());
        for (int k = 0; k < 20 && m.IsProcessing(); ++k) {
            const Bytes a = answer(m.requests().back().cid1, {0, 1, static_cast<unsigned char>(0x10 + k)});
            m.feed(doubled ? LineAnswers::twice(a) : a);
        }
    };
    auto clean = testing_support::make_fake_main(1, 1);
    run(false, *clean);
    auto m = testing_support::make_fake_main(1, 1);
    run(true, *m);
    ASSERT_EQ(clean->request_names().size(), 11u);
    EXPECT_EQ(m->request_names(), clean->request_names());
    EXPECT_EQ(m->step, 0);
    EXPECT_EQ(m->data_valid, 1);
    // Each unit was handed its own answer, not the copy of the one before.
    EXPECT_EQ(m->ac_units[0]->last("parse40_44")->bytes, clean->ac_units[0]->last("parse40_44")->bytes);
    EXPECT_EQ(m->rc_unit->last("parse42_46")->bytes, clean->rc_unit->last("parse42_46")->bytes);
    const auto& c = m->counters();
    EXPECT_EQ(c.answers, 11u);
    EXPECT_EQ(c.stale, 10u);
    EXPECT_EQ(c.stray_frames, 1u);
    EXPECT_EQ(c.give_ups + c.retransmits + c.rejected + c.wrong_group, 0u);
}

}  // namespace
