#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "host/pmbus_protocol.h"
#include "tests/support/frames.h"
#include "tests/support/recording_controller.h"

namespace {

using Bytes = std::vector<unsigned char>;
using std::chrono::milliseconds;
using testing_support::answer;

Bytes bytes_of(const std::string& s) { return Bytes(s.begin(), s.end()); }

// The frame layer with a hand-driven clock, a recording line and a scripted
// payload handler.
class Proto : public PMBusProtocol {
public:
    using PMBusProtocol::address;
    using PMBusProtocol::data_valid;
    using PMBusProtocol::last_update;
    using PMBusProtocol::recv_frame;
    using PMBusProtocol::retries;
    using PMBusProtocol::stall_ms;
    using PMBusProtocol::step;
    using PMBusProtocol::timeout_ms;
    using PMBusProtocol::version;

    std::vector<Bytes> sent;
    std::vector<Bytes> payloads;  // the views handed over, sized from LENID
    std::vector<int32_t> payload_steps;
    std::vector<std::optional<Bytes>> errors;  // nullopt: recv_frame was null
    int resets = 0;
    int depth = 0, max_depth = 0;
    std::function<bool(Proto&)> on_payload;                // default: true
    std::function<void(Proto&, const unsigned char*, int)> on_send;  // runs before the bytes are recorded
    Clock::time_point now = Clock::time_point{} + std::chrono::hours(1);

    void advance(int ms) { now += milliseconds(ms); }

    // Feeds through an exactly sized heap buffer.
    void feed(const Bytes& in) {
        std::unique_ptr<unsigned char[]> buf(new unsigned char[in.size()]);
        std::memcpy(buf.get(), in.data(), in.size());
        process(buf.get(), static_cast<unsigned>(in.size()));
    }

    bool LoadFromCache(const unsigned char*, int) override { return true; }
    void Reset() override {
        ++resets;
        PMBusProtocol::Reset();
    }

protected:
    Clock::time_point Now() const override { return now; }

    int SendData(const unsigned char* data, int len) override {
        if (on_send) on_send(*this, data, len);
        sent.emplace_back(data, data + len);
        return len;
    }

    bool process_payload() override {
        max_depth = std::max(max_depth, ++depth);
        const size_t n = static_cast<size_t>(recv_frame[4] | recv_frame[5] << 8) >> 1;
        payloads.emplace_back(recv_frame, recv_frame + 6 + n);
        payload_steps.push_back(step);
        const bool more = on_payload ? on_payload(*this) : true;
        --depth;
        return more;
    }

    void process_error() override {
        if (recv_frame == nullptr) {
            errors.emplace_back(std::nullopt);
        } else {
            const size_t n = static_cast<size_t>(recv_frame[4] | recv_frame[5] << 8) >> 1;
            errors.emplace_back(Bytes(recv_frame, recv_frame + 6 + n));
        }
    }
};

struct ProtocolTest : ::testing::Test {
    std::shared_ptr<testing_support::RecordingController> ctl =
        std::make_shared<testing_support::RecordingController>();
    std::shared_ptr<Proto> p = std::make_shared<Proto>();

    void SetUp() override { p->Init(ctl, 42); }

    size_t logs_containing(const std::string& part) const {
        size_t n = 0;
        for (const auto& l : ctl->logs) n += l.find(part) != std::string::npos;
        return n;
    }
};

const unsigned char kGroup = 0xFF;

TEST_F(ProtocolTest, WritesRequestsInBothFormsWithItsVersionAndAddress) {
    ASSERT_TRUE(p->InitSetting(Json::Value(Json::objectValue)));
    EXPECT_FALSE(p->IsProcessing());
    EXPECT_EQ(p->write_pmbus_cmd(0x40, 0x51), 18);
    EXPECT_TRUE(p->IsProcessing());
    EXPECT_EQ(p->write_pmbus_cmd(0x40, 0x41, &kGroup, 1), 20);
    ASSERT_EQ(p->sent.size(), 2u);
    EXPECT_EQ(p->sent[0], bytes_of("~200140510000FDB3\r"));
    EXPECT_EQ(p->sent[1], bytes_of("~20014041E002FFFD11\r"));

    Json::Value s;
    s["address"] = 7;
    ASSERT_TRUE(p->InitSetting(s));
    p->version = 0x21;
    p->write_pmbus_cmd(0x42, 0x41, &kGroup, 1);
    EXPECT_EQ(p->sent.back(), frame::encode(0x21, 7, 0x42, 0x41, &kGroup, 1));

    // Requests that cannot be encoded are refused, logged and not sent.
    const size_t before = p->sent.size();
    EXPECT_EQ(p->write_pmbus_cmd(0x40, 0x41, nullptr, 1), -1);
    EXPECT_EQ(p->write_pmbus_cmd(0x40, 0x41, &kGroup, -1), -1);
    Bytes big(frame::kMaxInfoBytes + 1);
    EXPECT_EQ(p->write_pmbus_cmd(0x40, 0x41, big.data(), static_cast<int>(big.size())), -1);
    EXPECT_EQ(p->sent.size(), before);
    EXPECT_EQ(logs_containing("PMBusProtocol:ProcotolError 42 refused request"), 3u);
}

TEST_F(ProtocolTest, DropsAnswersFromAnotherVersionOrAddressWithOneLogLine) {
    p->write_pmbus_cmd(0x40, 0x51);
    p->feed(answer(0x40, {1, 2}, 0, 0x21, 1));
    EXPECT_EQ(ctl->logs.size(), 1u);
    p->feed(answer(0x40, {1, 2}, 0, 0x20, 2));
    EXPECT_EQ(ctl->logs.size(), 2u);
    EXPECT_EQ(logs_containing("PMBusProtocol:FrameError 42 dropped frame"), 2u);
    EXPECT_TRUE(p->payloads.empty());
    EXPECT_TRUE(p->errors.empty());
    EXPECT_TRUE(p->last_update.is_not_a_date_time());
    EXPECT_TRUE(p->IsProcessing());  // still waiting for the real answer

    // A frame the codec rejects is logged once too, naming the reason.
    p->feed(bytes_of("~20014041E002FFFD12\r"));
    EXPECT_EQ(ctl->logs.size(), 3u);
    EXPECT_TRUE(ctl->logged("PMBusProtocol:FrameError 42 dropped frame: bad CHKSUM"));

    p->feed(answer(0x40, {1, 2}));
    ASSERT_EQ(p->payloads.size(), 1u);
    EXPECT_EQ(p->payloads[0], (Bytes{0x20, 1, 0x40, 0, 4, 0, 1, 2}));
    EXPECT_EQ(p->recv_frame, nullptr);  // the view lives only during the call
    EXPECT_FALSE(p->IsProcessing());
    EXPECT_EQ(p->counters().rejected, 3u);
    EXPECT_EQ(p->counters().answers, 1u);
}

TEST_F(ProtocolTest, ErrorReturnCodeGoesToProcessErrorAndCountsAsAFailedTry) {
    Json::Value s;
    s["retries"] = 1;
    ASSERT_TRUE(p->InitSetting(s));
    p->step = 4;
    p->write_pmbus_cmd(0x41, 0x41);
    p->feed(answer(0x41, {}, frame::RTN_CHKSUM_ERROR));
    EXPECT_TRUE(p->payloads.empty());
    ASSERT_EQ(p->errors.size(), 1u);
    ASSERT_TRUE(p->errors[0].has_value());
    EXPECT_EQ(*p->errors[0], (Bytes{0x20, 1, 0x41, 0x02, 0, 0}));
    EXPECT_EQ(p->recv_frame, nullptr);
    EXPECT_TRUE(p->last_update.is_not_a_date_time());
    EXPECT_EQ(logs_containing("PMBusProtocol:ProcotolError 42 answer to 65 65 returned RTN 2"), 1u);

    // No waiting for the time-out: the next poll sends the same request again.
    EXPECT_FALSE(p->RefreshStatus());
    ASSERT_EQ(p->sent.size(), 2u);
    EXPECT_EQ(p->sent[1], p->sent[0]);
    EXPECT_EQ(p->step, 4);

    // The retry fails the same way: that was the last one.
    p->feed(answer(0x41, {}, frame::RTN_INVALID_DATA));
    EXPECT_FALSE(p->RefreshStatus());
    EXPECT_EQ(p->sent.size(), 2u);
    ASSERT_EQ(p->errors.size(), 3u);
    EXPECT_FALSE(p->errors[2].has_value());
    EXPECT_EQ(p->step, 0);
    EXPECT_EQ(p->counters().error_answers, 2u);
    EXPECT_EQ(p->counters().give_ups, 1u);
}

TEST_F(ProtocolTest, TimeOutRetransmitsTheSameRequestThenGivesUp) {
    ASSERT_TRUE(p->InitSetting(Json::Value()));
    ASSERT_EQ(p->timeout_ms, 1500);
    ASSERT_EQ(p->retries, 2);
    p->data_valid = 1;
    p->step = 5;
    p->write_pmbus_cmd(0x41, 0x43);
    const Bytes req = p->sent[0];

    for (int retry = 1; retry <= 2; ++retry) {
        p->advance(1499);
        EXPECT_FALSE(p->RefreshStatus());  // waiting: nothing sent twice
        EXPECT_EQ(p->sent.size(), static_cast<size_t>(retry));
        p->advance(1);
        EXPECT_FALSE(p->RefreshStatus());
        ASSERT_EQ(p->sent.size(), static_cast<size_t>(retry + 1));
        EXPECT_EQ(p->sent.back(), req);
        EXPECT_TRUE(p->errors.empty());
    }
    EXPECT_TRUE(ctl->logs.empty());

    const int resets_before = p->resets;
    p->advance(1500);
    EXPECT_FALSE(p->RefreshStatus());
    EXPECT_EQ(p->sent.size(), 3u);
    ASSERT_EQ(p->errors.size(), 1u);
    EXPECT_FALSE(p->errors[0].has_value());
    EXPECT_EQ(p->resets, resets_before + 1);
    EXPECT_EQ(p->step, 0);
    EXPECT_EQ(p->data_valid, 0);
    EXPECT_FALSE(p->IsProcessing());
    ASSERT_EQ(ctl->logs.size(), 1u);
    EXPECT_EQ(ctl->logs[0],
              "PMBusProtocol:ProcotolError 42 no answer after all retries (step 5, last request 65 67), "
              "restarting the cycle");
    EXPECT_EQ(p->counters().retransmits, 2u);

    // The line is idle: the next poll may send, and nothing is pending.
    p->advance(100000);
    EXPECT_TRUE(p->RefreshStatus());
    EXPECT_EQ(p->sent.size(), 3u);
    EXPECT_EQ(p->errors.size(), 1u);

    // A late answer after a retransmission is still the answer.
    p->write_pmbus_cmd(0x40, 0x41, &kGroup, 1);
    p->advance(1500);
    EXPECT_FALSE(p->RefreshStatus());
    p->feed(answer(0x40, {0, 1}));
    EXPECT_EQ(p->payloads.size(), 1u);
    EXPECT_FALSE(p->IsProcessing());
    p->advance(100000);
    EXPECT_TRUE(p->RefreshStatus());
}

TEST_F(ProtocolTest, StallLimitRestartsACycleUnderWayButNotAnIdleOne) {
    Json::Value s;
    s["timeout_ms"] = 100;
    s["stall_ms"] = 2100;  // the shortest allowed: guard plus one time-out
    ASSERT_TRUE(p->InitSetting(s));
    EXPECT_EQ(p->stall_ms, 2100);

    // The answer moves to a step that sends nothing by itself.
    p->on_payload = [](Proto& d) {
        d.step = 3;
        return true;
    };
    p->write_pmbus_cmd(0x42, 0x44);
    p->advance(50);
    p->feed(answer(0x42, {0, 0}));
    p->advance(2049);
    EXPECT_FALSE(p->IsStalled());
    EXPECT_TRUE(p->RefreshStatus());
    EXPECT_TRUE(p->errors.empty());
    p->advance(1);
    EXPECT_TRUE(p->IsStalled());
    EXPECT_FALSE(p->RefreshStatus());
    ASSERT_EQ(p->errors.size(), 1u);
    EXPECT_FALSE(p->errors[0].has_value());
    EXPECT_EQ(p->step, 0);
    EXPECT_FALSE(p->IsStalled());
    EXPECT_EQ(logs_containing("no request sent within the stall limit (step 3"), 1u);

    // At step 0 the host simply has not polled yet: never a stall.
    p->on_payload = [](Proto&) { return true; };
    p->write_pmbus_cmd(0x40, 0x41, &kGroup, 1);
    p->feed(answer(0x40, {0, 0}));
    p->advance(1000000);
    EXPECT_FALSE(p->IsStalled());
    EXPECT_TRUE(p->RefreshStatus());
    EXPECT_EQ(p->errors.size(), 1u);

    // After a completed cycle (Reset from the dispatch) neither.
    p->step = 9;
    p->on_payload = [](Proto& d) {
        d.step = 0;
        d.Reset();
        return false;
    };
    p->write_pmbus_cmd(0x42, 0x46);
    p->feed(answer(0x42, {}));
    p->advance(1000000);
    EXPECT_TRUE(p->RefreshStatus());
    EXPECT_EQ(p->errors.size(), 1u);

    // An explicit limit overrides three time-outs.
    s["timeout_ms"] = 1000;
    s["stall_ms"] = 3500;
    ASSERT_TRUE(p->InitSetting(s));
    EXPECT_EQ(p->stall_ms, 3500);
}

TEST_F(ProtocolTest, InitSettingDefaultsAndRefusals) {
    ASSERT_TRUE(p->InitSetting(Json::Value(Json::objectValue)));
    EXPECT_EQ(p->address, 1);
    EXPECT_EQ(p->timeout_ms, 1500);
    EXPECT_EQ(p->retries, 2);
    EXPECT_EQ(p->stall_ms, 4500);
    EXPECT_TRUE(ctl->logs.empty());

    Json::Value good;
    good["address"] = 255;
    good["timeout_ms"] = 200;
    good["retries"] = 0;
    good["acSetting"] = Json::Value(Json::arrayValue);  // others' keys are not the layer's business
    ASSERT_TRUE(p->InitSetting(good));
    EXPECT_EQ(p->address, 255);
    EXPECT_EQ(p->timeout_ms, 200);
    EXPECT_EQ(p->retries, 0);
    EXPECT_EQ(p->stall_ms, 2200);  // three time-outs would undercut the 2 s guard

    struct Bad {
        const char* key;
        Json::Value value;
    };
    const std::vector<Bad> bad = {
        {"address", 300},
        {"address", -1},
        {"address", "1"},
        {"timeout_ms", "x"},
        {"timeout_ms", 0},
        {"timeout_ms", 1.5},
        {"retries", -1},
        {"retries", true},
        {"stall_ms", Json::Value(Json::objectValue)},
        // Beyond what a 64-bit signed integer holds.
        {"address", Json::Value(Json::UInt64(18446744073709551615ull))},
        {"timeout_ms", 1e19},
    };
    for (const auto& b : bad) {
        SCOPED_TRACE(std::string(b.key) + " = " + b.value.toStyledString());
        ctl->logs.clear();
        Json::Value s = good;
        s["timeout_ms"] = 999;  // a good key before the bad one is not taken either
        s[b.key] = b.value;
        bool ok = true;
        EXPECT_NO_THROW(ok = p->InitSetting(s));
        EXPECT_FALSE(ok);
        ASSERT_EQ(ctl->logs.size(), 1u);
        EXPECT_NE(ctl->logs[0].find("PMBusProtocol:SettingError 42 \"" + std::string(b.key) + "\""),
                  std::string::npos)
            << ctl->logs[0];
        EXPECT_EQ(p->address, 255);
        EXPECT_EQ(p->timeout_ms, 200);
        EXPECT_EQ(p->retries, 0);
        EXPECT_EQ(p->stall_ms, 2200);
    }

    ctl->logs.clear();
    EXPECT_FALSE(p->InitSetting(Json::Value(Json::arrayValue)));
    EXPECT_EQ(ctl->logs.size(), 1u);
}

TEST_F(ProtocolTest, LastUpdateOnEachValidAnswerAndDataValidOnACompletedCycle) {
    using boost::posix_time::second_clock;
    EXPECT_TRUE(p->last_update.is_not_a_date_time());

    // step 14 -> 0: the conversation goes on.
    p->step = 14;
    p->on_payload = [](Proto& d) {
        d.step = 0;
        return true;
    };
    p->write_pmbus_cmd(0x40, 0x51);
    const auto before = second_clock::local_time();
    p->feed(answer(0x40, {'M', '5'}));
    const auto after = second_clock::local_time();
    ASSERT_FALSE(p->last_update.is_not_a_date_time());
    EXPECT_GE(p->last_update, before);
    EXPECT_LE(p->last_update, after);
    EXPECT_EQ(p->data_valid, 0);

    // The dispatch refuses the AC answer at step 0 and resets: not a cycle.
    p->last_update = boost::posix_time::ptime(boost::gregorian::date(2000, 1, 1));
    p->on_payload = [](Proto& d) {
        d.Reset();
        return false;
    };
    p->write_pmbus_cmd(0x40, 0x41, &kGroup, 1);
    p->feed(answer(0x40, {}));
    EXPECT_GE(p->last_update, before);
    EXPECT_EQ(p->data_valid, 0);

    // A reset from step 9 completes the cycle.
    p->step = 9;
    p->on_payload = [](Proto& d) {
        d.step = 0;
        d.Reset();
        return false;
    };
    p->write_pmbus_cmd(0x42, 0x46);
    p->feed(answer(0x42, {}));
    EXPECT_EQ(p->data_valid, 1);
    EXPECT_EQ(p->payload_steps, (std::vector<int32_t>{14, 0, 9}));
}

// A line that answers from inside SendData, as a test double or a loop-back
// might: the answer to a request written during process_payload() is handled
// after the current answer, never inside it.
TEST_F(ProtocolTest, BytesArrivingDuringAnAnswerAreHandledAfterIt) {
    std::vector<Bytes> script = {answer(0x40, {1}), answer(0x40, {2}), answer(0x40, {3})};
    size_t next = 0;
    p->on_send = [&](Proto& d, const unsigned char*, int) {
        if (next < script.size()) d.feed(script[next++]);
    };
    p->on_payload = [](Proto& d) {
        d.step = d.step + 1;
        if (d.step < 3) d.write_pmbus_cmd(0x40, 0x41, &kGroup, 1);
        return true;
    };
    p->write_pmbus_cmd(0x40, 0x51);

    EXPECT_EQ(p->max_depth, 1);
    ASSERT_EQ(p->payloads.size(), 3u);
    EXPECT_EQ(p->payload_steps, (std::vector<int32_t>{0, 1, 2}));
    for (int i = 0; i < 3; ++i) EXPECT_EQ(p->payloads[i][6], i + 1);
    // The requests reached the line intact although each one's answer was
    // handled, and the next request written, before SendData returned.
    // (Recorded as each SendData returns, so innermost first.)
    ASSERT_EQ(p->sent.size(), 3u);
    EXPECT_EQ(p->sent[0], bytes_of("~20014041E002FFFD11\r"));
    EXPECT_EQ(p->sent[1], p->sent[0]);
    EXPECT_EQ(p->sent[2], bytes_of("~200140510000FDB3\r"));
    EXPECT_FALSE(p->IsProcessing());
    EXPECT_TRUE(ctl->logs.empty());
}

TEST_F(ProtocolTest, AnExceptionFromTheHandlerDoesNotWedgeTheReceiver) {
    p->on_payload = [](Proto&) -> bool { throw std::bad_alloc(); };
    p->write_pmbus_cmd(0x40, 0x51);
    Bytes two = answer(0x40, {1});
    testing_support::put(two, answer(0x40, {2}));
    EXPECT_THROW(p->feed(two), std::bad_alloc);
    EXPECT_EQ(p->recv_frame, nullptr);

    p->on_payload = nullptr;
    p->write_pmbus_cmd(0x40, 0x51);
    p->feed(answer(0x40, {3}));
    ASSERT_EQ(p->payloads.size(), 2u);
    EXPECT_EQ(p->payloads.back()[6], 3);
    EXPECT_TRUE(ctl->logs.empty());
}

}  // namespace
