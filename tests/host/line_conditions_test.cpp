// The main device on lines as they behave in the field: adapters that echo
// every request, late answers, frames whose end never comes, lower-case
// controllers. Answers go through the real frame layer; the units are fakes
// that record the INFO stretch each parser was handed.

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <map>
#include <string>
#include <vector>

#include "tests/support/frames.h"
#include "tests/support/main_fixture.h"

using namespace testing_support;

namespace {

// The same frame with its hex letters in lower case and the checksum taken
// over those characters, as a lower-case controller sends it.
Bytes lower_case(const Bytes& upper) {
    Bytes body(upper.begin() + 1, upper.end() - 1 - frame::kChecksumChars);
    for (auto& c : body) c = static_cast<unsigned char>(std::tolower(c));
    const uint16_t chk = frame::checksum(body.data(), body.size());
    const std::string tail = fmt::format("{:04x}", chk);
    Bytes out{frame::SOI};
    put(out, body);
    put(out, Bytes(tail.begin(), tail.end()));
    out.push_back(frame::EOI);
    return out;
}

// What each request of a first cycle (one AC, one DC panel) is answered with,
// and which parser gets which stretch of it. The stretches differ per step,
// so an answer handed to the wrong step shows.
struct StepAnswer {
    std::string request;
    Bytes info;
    std::string op;  // "" for device information
    char unit;       // 'A', 'D' (handed INFO after flag and count) or 'R' (whole INFO)
};

std::vector<StepAnswer> cycle() {
    auto panel = [](unsigned char tag) { return Bytes{0, 1, tag, static_cast<unsigned char>(tag + 1)}; };
    Bytes model{'M', '5', '2', '0', 'S'};
    model.resize(20, ' ');
    return {
        {"40/51", model, "", 0},
        {"40/41 FF", panel(0x10), "parse40_41", 'A'},
        {"40/43 FF", panel(0x20), "parse40_43", 'A'},
        {"40/44 FF", panel(0x30), "parse40_44", 'A'},
        {"41/41", {0, 0x41, 0x41}, "parse41_41", 'R'},
        {"41/43", {0, 0x41, 0x43}, "parse41_43", 'R'},
        {"41/44", {0, 0x41, 0x44}, "parse41_44", 'R'},
        {"42/41", panel(0x50), "parse42_41", 'D'},
        {"42/44", panel(0x60), "parse42_44", 'D'},
        {"40/46", {0x40, 0x46, 0}, "parse40_46", 'R'},
        {"42/46", {0x42, 0x46, 0}, "parse42_46", 'R'},
    };
}

const StepAnswer* answer_to(const std::vector<StepAnswer>& c, const std::string& request) {
    for (const auto& s : c)
        if (s.request == request) return &s;
    return nullptr;
}

// The stretch the step's unit must have been handed, and what it was handed.
Bytes expected_stretch(const StepAnswer& s) { return s.unit == 'R' ? s.info : Bytes(s.info.begin() + 2, s.info.end()); }

const FakeCall* call_of(FakeMain& m, const StepAnswer& s) {
    const FakeUnit* u = s.unit == 'A'   ? static_cast<FakeUnit*>(m.ac_units[0].get())
                        : s.unit == 'D' ? static_cast<FakeUnit*>(m.dc_units[0].get())
                                        : static_cast<FakeUnit*>(m.rc_unit.get());
    return u->last(s.op);
}

std::unique_ptr<FakeMain> make_main(const Json::Value& layer, std::shared_ptr<RecordingController>& ctl) {
    auto m = std::make_unique<FakeMain>();
    ctl = m->attach(100);
    Json::Value s = layer;
    s["acSetting"][0]["data_id"] = 10;
    s["dcSetting"][0]["data_id"] = 20;
    s["rcSetting"] = Json::Value(Json::objectValue);
    EXPECT_TRUE(m->InitSetting(s));
    return m;
}

uint64_t counter(const FakeMain& m, const std::string& name) {
    for (const auto& [n, v] : m.counters().items())
        if (n == name) return v;
    ADD_FAILURE() << "no counter " << name;
    return 0;
}

size_t logs_containing(const RecordingController& c, const std::string& part) {
    return static_cast<size_t>(
        std::count_if(c.logs.begin(), c.logs.end(), [&](const std::string& l) { return l.find(part) != l.npos; }));
}

}  // namespace

// Every request's echo arrives before its answer, whole or a byte at a time,
// with upper- or lower-case answers: the cycle is the same as on a clean line.
TEST(LineConditions, EchoesBeforeEveryAnswerLeaveTheCycleIntact) {
    const auto steps = cycle();
    for (bool echo : {false, true})
        for (bool lower : {false, true})
            for (bool bytewise : {false, true}) {
                SCOPED_TRACE(fmt::format("echo {} lower {} bytewise {}", echo, lower, bytewise));
                std::shared_ptr<RecordingController> ctl;
                auto m = make_main(Json::Value(Json::objectValue), ctl);
                auto deliver = [&](const Bytes& b) {
                    if (!bytewise) return (void)m->feed(b);
                    for (unsigned char c : b) m->feed(Bytes{c});
                };
                ASSERT_TRUE(m->RefreshStatus());
                for (size_t k = 0; k < 20 && m->IsProcessing(); ++k) {
                    const Bytes request = m->wire.back();
                    const StepAnswer* a = answer_to(steps, m->request_names().back());
                    ASSERT_NE(a, nullptr) << m->request_names().back();
                    Bytes line;
                    if (echo) put(line, request);
                    const auto cid1 = static_cast<unsigned char>(std::stoi(a->request.substr(0, 2), nullptr, 16));
                    const Bytes ans = answer(cid1, a->info);
                    put(line, lower ? lower_case(ans) : ans);
                    deliver(line);
                }
                std::vector<std::string> want;
                for (const auto& s : steps) want.push_back(s.request);
                EXPECT_EQ(m->request_names(), want);
                EXPECT_EQ(m->step, 0);
                EXPECT_EQ(m->data_valid, 1);
                EXPECT_EQ(m->model.substr(0, 5), "M520S");
                for (const auto& s : steps) {
                    if (s.op.empty()) continue;
                    const FakeCall* call = call_of(*m, s);
                    ASSERT_NE(call, nullptr) << s.op;
                    EXPECT_EQ(call->bytes, expected_stretch(s)) << s.op;
                }
                EXPECT_EQ(counter(*m, "answers"), steps.size());
                EXPECT_EQ(counter(*m, "echoes"), echo ? steps.size() : 0u);
                EXPECT_EQ(counter(*m, "error_answers"), 0u);
                EXPECT_EQ(counter(*m, "retransmits"), 0u);
                EXPECT_EQ(counter(*m, "rejected"), 0u);
                // One line says the adapter echoes; the rest pass silently.
                EXPECT_EQ(ctl->logs.size(), echo ? 1u : 0u);
                if (echo) {
                    EXPECT_EQ(ctl->logs[0],
                              "PMBusProtocol:FrameError 100 dropped the echo of request 64 81; echoes are "
                              "dropped from now on without a log line");
                }
            }
}

// A frame with no request in flight (a late answer after a give-up, or one
// nobody asked for) is dropped before the dispatch sees it, whatever its RTN.
TEST(LineConditions, StrayFramesAreDroppedCountedAndLogged) {
    std::shared_ptr<RecordingController> ctl;
    auto m = make_main(Json::Value(Json::objectValue), ctl);
    m->feed(answer(0x40, {'M'}));  // nothing sent yet
    m->feed(answer(0x40, {}, frame::RTN_INVALID_DATA));
    EXPECT_TRUE(m->need_device_info);

    ASSERT_TRUE(m->RefreshStatus());
    for (int i = 0; i < 3; ++i) {
        m->advance_ms(1500);
        m->RefreshStatus();
    }
    ASSERT_FALSE(m->IsProcessing());  // given up
    m->feed(answer(0x40, {'M', '5', '2', '0', 'S'}));
    EXPECT_TRUE(m->need_device_info);
    EXPECT_EQ(m->model, "");
    EXPECT_EQ(counter(*m, "stray_frames"), 3u);
    EXPECT_EQ(counter(*m, "error_answers"), 0u);
    EXPECT_EQ(counter(*m, "answers"), 0u);
    EXPECT_EQ(counter(*m, "timeouts"), 3u);
    EXPECT_EQ(counter(*m, "retransmits"), 2u);
    EXPECT_EQ(counter(*m, "give_ups"), 1u);
    EXPECT_EQ(logs_containing(*ctl, "PMBusProtocol:FrameError 100 dropped frame: CID1 64 RTN 0 with no request"),
              2u);
    EXPECT_EQ(logs_containing(*ctl, "CID1 64 RTN 6 with no request in flight"), 1u);

    // The next poll asks again and that answer is taken.
    ASSERT_TRUE(m->RefreshStatus());
    m->feed(answer(0x40, {'M', '5', '2', '0', 'S'}));
    EXPECT_FALSE(m->need_device_info);
    EXPECT_EQ(counter(*m, "answers"), 1u);
}

// A frame whose EOI never comes is dropped once the line has been quiet for
// the frame gap, and the request is sent again at once instead of at the
// time-out; the repeated answer then completes the step.
TEST(LineConditions, FramesWithoutAnEndAreDroppedAfterTheGap) {
    const Bytes good = answer(0x40, {'M', '5', '2', '0', 'S'});
    struct Case {
        const char* what;
        Bytes line;
    };
    Bytes lf_end(good.begin(), good.end() - 1);
    lf_end.push_back('\n');
    const std::vector<Case> cases = {
        {"lost CR", Bytes(good.begin(), good.end() - 1)},
        {"LF instead of CR", lf_end},
        {"cable pulled mid-frame", Bytes(good.begin(), good.begin() + 9)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::shared_ptr<RecordingController> ctl;
        Json::Value s;
        s["frame_gap_ms"] = 100;
        auto m = make_main(s, ctl);
        ASSERT_TRUE(m->RefreshStatus());
        m->advance_ms(10);
        m->feed(Bytes(c.line.begin(), c.line.begin() + 4));  // in two reads, within the gap
        m->advance_ms(99);
        m->feed(Bytes(c.line.begin() + 4, c.line.end()));
        m->advance_ms(99);
        EXPECT_FALSE(m->RefreshStatus());
        EXPECT_EQ(counter(*m, "unfinished"), 0u);
        m->advance_ms(1);
        EXPECT_TRUE(m->RefreshStatus());  // dropped, and the request sent again
        EXPECT_EQ(m->request_names(), (std::vector<std::string>{"40/51", "40/51"}));
        EXPECT_EQ(counter(*m, "unfinished"), 1u);
        EXPECT_EQ(counter(*m, "rejected"), 1u);
        EXPECT_EQ(counter(*m, "timeouts"), 0u);
        EXPECT_EQ(counter(*m, "retransmits"), 1u);
        EXPECT_EQ(ctl->logs,
                  std::vector<std::string>{
                      "PMBusProtocol:FrameError 100 dropped frame: frame without EOI before the line fell silent"});
        m->feed(good);
        EXPECT_FALSE(m->need_device_info);
        EXPECT_EQ(m->step, 0);
    }

    // Without a poll in between, the next read drops the stale part first:
    // the new frame is not counted as cutting it short.
    std::shared_ptr<RecordingController> ctl;
    auto m = make_main(Json::Value(Json::objectValue), ctl);
    ASSERT_TRUE(m->RefreshStatus());
    m->feed(Bytes(good.begin(), good.begin() + 9));
    m->advance_ms(1499);  // the default gap is the answer time-out
    m->feed(Bytes(good.begin() + 9, good.end()));
    EXPECT_EQ(counter(*m, "rejected"), 0u);
    EXPECT_FALSE(m->need_device_info);  // still one frame
    ASSERT_TRUE(m->IsProcessing());
    m->feed(Bytes(good.begin(), good.begin() + 9));
    m->advance_ms(1500);
    m->feed(answer(0x40, {0, 1, 2, 3}));
    EXPECT_EQ(counter(*m, "unfinished"), 1u);
    EXPECT_EQ(counter(*m, "truncated"), 0u);
    EXPECT_EQ(m->ac_units[0]->last("parse40_41")->bytes, (Bytes{2, 3}));
}

// Each way a frame can be refused lands in its own counter, and the total
// is their sum; the names are the ones a person reads in the monitor.
TEST(LineConditions, EveryRejectReasonHasItsOwnCounter) {
    auto chk = [](const std::string& body) {
        Bytes b(body.begin(), body.end());
        const std::string c = fmt::format("{:04X}", frame::checksum(b.data(), b.size()));
        Bytes out{frame::SOI};
        put(out, b);
        put(out, Bytes(c.begin(), c.end()));
        out.push_back(frame::EOI);
        return out;
    };
    auto text = [](const std::string& s) { return Bytes(s.begin(), s.end()); };
    const std::vector<std::pair<std::string, Bytes>> cases = {
        {"non_hex", chk("20014000E002FG")},
        {"odd_length", text("~20014000E002FFFD1\r")},
        {"too_short", text("~2001400000\r")},
        {"too_long", [] {
             Bytes b{frame::SOI};
             b.resize(frame::kMaxBodyChars + 2, '0');
             b.push_back(frame::EOI);
             return b;
         }()},
        {"truncated", text("~2001")},  // the next frame's SOI cuts it short
        {"bad_lchksum", chk("20014000D002FF")},
        {"lenid_mismatch", chk("20014000C004FF")},
        {"bad_chksum", text("~20014000E002FFFD12\r")},
        {"wrong_version", answer(0x40, {}, 0, 0x21)},
        {"wrong_address", answer(0x40, {}, 0, 0x20, 2)},
    };
    std::shared_ptr<RecordingController> ctl;
    auto m = make_main(Json::Value(Json::objectValue), ctl);
    ASSERT_TRUE(m->RefreshStatus());
    m->feed(text("noise"));
    for (const auto& [name, bytes] : cases) m->feed(bytes);
    m->advance_ms(1500);
    m->RefreshStatus();  // a time-out
    m->feed(text("~2001"));
    m->advance_ms(1500);
    m->RefreshStatus();  // the partial frame dropped: a failed try, not a time-out

    std::map<std::string, uint64_t> got;
    std::vector<std::string> order;
    for (const auto& [n, v] : m->counters().items()) {
        EXPECT_TRUE(got.emplace(n, v).second) << "twice: " << n;
        EXPECT_EQ(n.find_first_not_of("abcdefghijklmnopqrstuvwxyz_"), std::string::npos) << n;
        order.push_back(n);
    }
    for (const auto& [name, bytes] : cases) EXPECT_EQ(got[name], 1u) << name;
    EXPECT_EQ(got["unfinished"], 1u);
    EXPECT_EQ(got["rejected"], cases.size() + 1);
    EXPECT_EQ(got["garbage_bytes"], 5u);
    EXPECT_EQ(got["timeouts"], 1u);  // the dropped partial ended the first try early
    EXPECT_EQ(got["retransmits"], 2u);
    EXPECT_EQ(got["answers"], 0u);
    EXPECT_EQ(ctl->logs.size(), cases.size() + 1);
    std::vector<std::string> again;
    for (const auto& [n, v] : m->counters().items()) again.push_back(n);
    EXPECT_EQ(again, order);
}

// With a short time-out the stall limit still covers the main device's 2 s
// guard: a refused answer makes the step repeat, not the cycle restart.
TEST(LineConditions, AShortTimeOutNeverLetsTheStallLimitUndercutTheGuard) {
    std::shared_ptr<RecordingController> ctl;
    Json::Value s;
    s["timeout_ms"] = 300;
    auto m = make_main(s, ctl);
    m->need_device_info = false;
    m->age_last_update(10);
    ASSERT_TRUE(m->RefreshStatus());
    m->answer(0x40, {0, 1, 1});
    ASSERT_EQ(m->step, 1);
    m->ac_units[0]->script["parse40_43"] = {-1};
    m->answer(0x40, {0, 1, 2});  // refused: the step stays and waits for the guard
    ASSERT_EQ(m->step, 1);
    m->wire.clear();
    for (int t = 0; t < 2; ++t) {
        m->advance_ms(1000);
        m->age_last_update(t);
        EXPECT_FALSE(m->RefreshStatus());
    }
    m->advance_ms(100);
    m->age_last_update(2);
    EXPECT_TRUE(m->RefreshStatus());
    EXPECT_EQ(m->request_names(), std::vector<std::string>{"40/43 FF"});
    EXPECT_EQ(m->counters().give_ups, 0u);

    // Asked for explicitly, a limit below guard plus time-out is refused.
    for (int stall : {900, 2299}) {
        std::shared_ptr<RecordingController> c2;
        auto n = std::make_unique<FakeMain>();
        c2 = n->attach(100);
        Json::Value bad = s;
        bad["stall_ms"] = stall;
        bad["rcSetting"] = Json::Value(Json::objectValue);
        EXPECT_FALSE(n->InitSetting(bad));
        EXPECT_FALSE(n->rc_unit);
        ASSERT_EQ(c2->logs.size(), 1u);
        EXPECT_EQ(c2->logs[0], fmt::format("PMBusProtocol:SettingError 100 \"stall_ms\" {} is below the 2 s time "
                                           "guard plus \"timeout_ms\" (2300 ms)",
                                           stall));
    }
}
