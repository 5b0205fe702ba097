// The simulated controller without a line: requests and times in, timed
// bytes out. Refusals, and fault draws that a seed repeats exactly.

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "sim/simulator.h"

using namespace sim;

namespace {

Request req(uint8_t cid1, uint8_t cid2, uint8_t ver = 0x20, uint8_t adr = 1) {
    return Request{ver, adr, cid1, cid2, {}, encode_frame(ver, adr, cid1, cid2, {})};
}

// The answers' frames decoded again (an answer has the request's layout, RTN for CID2).
std::vector<Request> frames(const std::vector<Chunk>& chunks) {
    RequestDecoder d;
    std::vector<Request> out;
    for (const auto& c : chunks)
        for (uint8_t b : c.bytes)
            if (auto r = d.feed(b); r && r->request) out.push_back(*r->request);
    return out;
}

}  // namespace

TEST(Simulator, RefusedAndForeignRequests) {
    Simulator s(Scenario::reference(), 1);
    // Another VER: RTN 0x01; an unknown command: RTN 0x04; another address: no answer.
    auto a = frames(s.on_request(req(0x40, 0x41, 0x21), 0));
    ASSERT_EQ(a.size(), 1u);
    EXPECT_EQ(std::make_tuple(a[0].ver, a[0].cid2), std::make_tuple(0x20, kRtnVer));
    a = frames(s.on_request(req(0x43, 0x41), 0));
    ASSERT_EQ(a.size(), 1u);
    EXPECT_EQ(std::make_tuple(a[0].cid2, a[0].info.size()), std::make_tuple(kRtnCid2, size_t{0}));
    EXPECT_TRUE(s.on_request(req(0x40, 0x41, 0x20, 2), 0).empty());
    // A damaged request is answered with its return code, CID1 echoed.
    RequestDecoder d;
    std::optional<RequestDecoder::Result> r;
    for (uint8_t b : encode_frame(0x20, 1, 0x42, 0x41, {}, Damage{true, false}))
        if (auto x = d.feed(b)) r = x;
    a = frames(s.on_bad_request(*r->bad, 0));
    ASSERT_EQ(a.size(), 1u);
    EXPECT_EQ(std::make_tuple(a[0].cid1, a[0].cid2), std::make_tuple(0x42, kRtnChksum));
    const Stats& st = s.stats();
    EXPECT_EQ(std::make_tuple(st.requests, st.unknown_commands, st.other_address, st.bad_requests, st.answers),
              std::make_tuple(2u, 1u, 1u, 1u, 3u));
}

TEST(Simulator, FaultDrawsRepeatWithTheSeed) {
    Json::Value doc(Json::objectValue);
    for (size_t f = 0; f < kFaultKinds; ++f) doc["faults"][fault_name(static_cast<Fault>(f))] = 0.15;
    auto run = [&](uint64_t seed) {
        Simulator s(Scenario::parse(doc, "f.json"), seed);
        std::vector<Chunk> all;
        for (int round = 0; round < 400; ++round) {
            auto c = s.on_request(req(0x40 + round % 3, 0x41), round);
            all.insert(all.end(), c.begin(), c.end());
        }
        return std::make_pair(all, s.stats().faults);
    };
    const auto [a, fa] = run(5);
    const auto [b, fb] = run(5);
    const auto [c, fc] = run(6);
    ASSERT_EQ(a.size(), b.size());
    for (size_t i = 0; i < a.size(); ++i) EXPECT_TRUE(a[i].bytes == b[i].bytes && a[i].at == b[i].at) << i;
    EXPECT_EQ(fa, fb);
    EXPECT_NE(fa, fc);
    for (size_t f = 0; f < kFaultKinds; ++f) EXPECT_GT(fa[f], 0u) << fault_name(static_cast<Fault>(f));
}

// A time line event's "faults" are the probabilities from then on, not
// changes to the ones before: a kind left out is 0, and {} turns every fault
// off. The same when a re-read file's past events are applied at once.
TEST(Simulator, TimeLineFaultsReplaceTheProbabilities) {
    auto scenario = [](const std::string& text) {
        Json::Value doc;
        std::string errs;
        std::unique_ptr<Json::CharReader> r(Json::CharReaderBuilder().newCharReader());
        EXPECT_TRUE(r->parse(text.data(), text.data() + text.size(), &doc, &errs)) << errs;
        return Scenario::parse(doc, "t.json");
    };
    Simulator s(scenario(R"({"faults": {"silence": 1, "double": 1},
        "timeline": [{"at_cycle": 2, "faults": {"double": 1}}, {"at_cycle": 3, "faults": {}}]})"),
                1);
    // One cycle: the AC analog values, then the rectifier's; the answers to
    // each, as frames.
    auto cycle = [&](double at) {
        std::vector<size_t> answers;
        for (uint8_t cid1 : {0x40, 0x41}) answers.push_back(frames(s.on_request(req(cid1, 0x41), at)).size());
        return answers;
    };
    EXPECT_EQ(cycle(0), (std::vector<size_t>{0, 0}));  // silent, though doubled is drawn too
    EXPECT_EQ(cycle(1), (std::vector<size_t>{2, 2}));  // silence gone, double left
    EXPECT_EQ(cycle(2), (std::vector<size_t>{1, 1}));  // nothing left
    EXPECT_EQ(s.cycle(), 3u);

    // Re-read: the new file's faults, then its past event's {} at once.
    s.replace(scenario(R"({"faults": {"silence": 1}, "timeline": [{"at_cycle": 1, "faults": {}}]})"), 3);
    EXPECT_EQ(cycle(3), (std::vector<size_t>{1, 1}));
    EXPECT_EQ(s.stats().faults[static_cast<size_t>(Fault::silence)], 2u);
    EXPECT_EQ(s.stats().faults[static_cast<size_t>(Fault::double_answer)], 2u);
}
