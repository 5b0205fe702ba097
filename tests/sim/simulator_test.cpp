// The simulated controller without a line: requests and times in, timed
// bytes out. Cycle counting, data flags, the time line, refusals, and fault
// draws that a seed repeats exactly.

#include <gtest/gtest.h>

#include "sim/simulator.h"

using namespace sim;

namespace {

Request req(uint8_t cid1, uint8_t cid2, uint8_t ver = 0x20, uint8_t adr = 1) {
    Request q;
    q.ver = ver;
    q.adr = adr;
    q.cid1 = cid1;
    q.cid2 = cid2;
    q.raw = encode_frame(ver, adr, cid1, cid2, {});
    return q;
}

// The answers' frames decoded again (answers have the request's layout, RTN for CID2).
std::vector<Request> frames(const std::vector<Chunk>& chunks) {
    RequestDecoder d;
    std::vector<Request> out;
    for (const auto& c : chunks)
        for (uint8_t b : c.bytes)
            if (auto r = d.feed(b); r && r->request) out.push_back(*r->request);
    return out;
}

Json::Value json(const std::string& text) {
    Json::Value v;
    std::unique_ptr<Json::CharReader> r(Json::CharReaderBuilder().newCharReader());
    std::string errs;
    if (!r->parse(text.data(), text.data() + text.size(), &v, &errs)) throw std::runtime_error(errs);
    return v;
}

const std::pair<uint8_t, uint8_t> kFullCycle[] = {{0x40, 0x41}, {0x40, 0x43}, {0x40, 0x44}, {0x41, 0x41},
                                                  {0x41, 0x43}, {0x41, 0x44}, {0x42, 0x41}, {0x42, 0x44},
                                                  {0x40, 0x46}, {0x42, 0x46}};

}  // namespace

TEST(Simulator, CyclesFlagsAndTheTimeLineFollowTheHostsRequests) {
    Simulator s(Scenario::parse(json(R"({"timeline": [
        {"at_cycle": 2, "set": {"ac[1].channels[2].f_state": 2}},
        {"at_cycle": 3, "restart": 5},
        {"after_s": 100, "set": {"model": "M520X"}}]})"),
                                "t.json"),
                1);
    double t = 0;
    auto ask = [&](uint8_t cid1, uint8_t cid2) { return frames(s.on_request(req(cid1, cid2), t += 0.1)); };
    // Cycle 1: device information, then everything; both flag bits set at first.
    auto a = ask(0x40, 0x51);
    ASSERT_EQ(a.size(), 1u);
    EXPECT_EQ(a[0].cid1, 0x40);
    EXPECT_EQ(a[0].cid2, kRtnOk);
    for (auto [c1, c2] : kFullCycle) {
        a = ask(c1, c2);
        ASSERT_EQ(a.size(), 1u);
        if (c2 == 0x41) {
            EXPECT_EQ(a[0].info[0], c1 == 0x42 ? 0x01 : 0x11) << std::hex << +c1;
        }
    }
    EXPECT_EQ(s.cycle(), 1u);
    // A repeat of an answered request is a new cycle; nothing changed, so no flag.
    a = ask(0x40, 0x41);
    EXPECT_EQ(s.cycle(), 2u);
    // The change of cycle 2 shows in the flag of the same answer: alarm bit only.
    EXPECT_EQ(a[0].info[0], 0x01);
    a = ask(0x41, 0x41);
    EXPECT_EQ(a[0].info[0], 0x00);
    a = ask(0x40, 0x44);
    EXPECT_EQ(a[0].info[0], 0x01);
    // Panel 2 channel 3: f_state is the 4th state byte of its channel.
    const size_t channel = 2 + (1 + 3 * 14 + 3) + 1 + 2 * 14;
    EXPECT_EQ(a[0].info[channel + 3], 2);
    // Cycle 3 begins with a restart: silent for 5 s, and the repeats of the
    // unanswered request stay in cycle 3.
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(s.on_request(req(0x40, 0x41), t += 1).empty());
        EXPECT_EQ(s.cycle(), 3u);
    }
    t += 3.5;
    a = ask(0x40, 0x41);
    ASSERT_EQ(a.size(), 1u);
    EXPECT_EQ(a[0].info[0], 0x11);  // after a restart every state counts as changed
    EXPECT_EQ(s.cycle(), 3u);
    // Time triggers fire at the first request after their time.
    t = 150;
    a = ask(0x40, 0x51);
    EXPECT_EQ(std::string(a[0].info.begin(), a[0].info.begin() + 5), "M520X");
    EXPECT_EQ(s.stats().restarts, 1u);
    EXPECT_EQ(s.stats().restart_silent, 3u);
}

TEST(Simulator, RefusedAndForeignRequests) {
    Simulator s(Scenario::reference(), 1);
    // Another VER: RTN 0x01; an unknown command: RTN 0x04; another address: no answer.
    auto a = frames(s.on_request(req(0x40, 0x41, 0x21), 0));
    ASSERT_EQ(a.size(), 1u);
    EXPECT_EQ(a[0].cid2, kRtnVer);
    EXPECT_EQ(a[0].ver, 0x20);
    a = frames(s.on_request(req(0x43, 0x41), 0));
    ASSERT_EQ(a.size(), 1u);
    EXPECT_EQ(a[0].cid2, kRtnCid2);
    EXPECT_TRUE(a[0].info.empty());
    EXPECT_TRUE(s.on_request(req(0x40, 0x41, 0x20, 2), 0).empty());
    // A damaged request is answered with its return code and our CID1 echoed.
    RequestDecoder d;
    std::optional<RequestDecoder::Result> r;
    for (uint8_t b : encode_frame(0x20, 1, 0x42, 0x41, {}, Damage{true, false}))
        if (auto x = d.feed(b)) r = x;
    ASSERT_TRUE(r && r->bad);
    a = frames(s.on_bad_request(*r->bad, 0));
    ASSERT_EQ(a.size(), 1u);
    EXPECT_EQ(a[0].cid1, 0x42);
    EXPECT_EQ(a[0].cid2, kRtnChksum);
    const Stats& st = s.stats();
    EXPECT_EQ(st.requests, 2u);
    EXPECT_EQ(st.unknown_commands, 1u);
    EXPECT_EQ(st.other_address, 1u);
    EXPECT_EQ(st.bad_requests, 1u);
    EXPECT_EQ(st.answers, 3u);
}

TEST(Simulator, FaultDrawsRepeatWithTheSeedAndEachFaultDoesWhatItSays) {
    const Json::Value every = json(R"({"faults": {"silence": 0.15, "bad_chksum": 0.15, "bad_lchksum": 0.15,
        "garbage": 0.2, "split": 0.2, "double": 0.2, "error_rtn": 0.1, "wrong_cid1": 0.1,
        "count_mismatch": 0.1, "short_info": 0.1, "late": 0.2}})");
    auto run = [&](uint64_t seed) {
        Simulator s(Scenario::parse(every, "f.json"), seed);
        std::vector<Chunk> all;
        for (int round = 0; round < 40; ++round)
            for (auto [c1, c2] : kFullCycle) {
                auto c = s.on_request(req(c1, c2), round);
                all.insert(all.end(), c.begin(), c.end());
            }
        return std::make_pair(all, s.stats());
    };
    const auto [a, sa] = run(5);
    const auto [b, sb] = run(5);
    const auto [c, sc] = run(6);
    ASSERT_EQ(a.size(), b.size());
    for (size_t i = 0; i < a.size(); ++i) {
        EXPECT_EQ(a[i].bytes, b[i].bytes);
        EXPECT_EQ(a[i].at, b[i].at);
    }
    EXPECT_EQ(sa.faults, sb.faults);
    EXPECT_NE(sa.faults, sc.faults);
    for (size_t f = 0; f < kFaultKinds; ++f) EXPECT_GT(sa.faults[f], 0u) << fault_name(static_cast<Fault>(f));

    // Each fault alone, on the 40/41 answer of the reference site.
    const Bytes clean = encode_frame(0x20, 1, 0x40, 0,
                                     frames(Simulator(Scenario::reference(), 1).on_request(req(0x40, 0x41), 10))[0].info);
    for (size_t f = 0; f < kFaultKinds; ++f) {
        const std::string name = fault_name(static_cast<Fault>(f));
        SCOPED_TRACE(name);
        Json::Value doc(Json::objectValue);
        doc["faults"][name] = 1.0;
        doc["fault_options"]["late_ms"] = 700;
        Simulator s(Scenario::parse(doc, "f.json"), 9);
        const auto chunks = s.on_request(req(0x40, 0x41), 10);
        EXPECT_EQ(s.stats().faults[f], 1u);
        Bytes wire;
        for (const auto& ch : chunks) wire.insert(wire.end(), ch.bytes.begin(), ch.bytes.end());
        RequestDecoder d;
        std::vector<RequestDecoder::Result> got;
        for (uint8_t x : wire)
            if (auto r = d.feed(x)) got.push_back(*r);
        const Fault kind = static_cast<Fault>(f);
        switch (kind) {
        case Fault::silence: EXPECT_TRUE(chunks.empty()); break;
        case Fault::bad_chksum:
        case Fault::bad_lchksum:
            ASSERT_EQ(got.size(), 1u);
            ASSERT_TRUE(got[0].bad);
            EXPECT_EQ(got[0].bad->rtn, kind == Fault::bad_chksum ? kRtnChksum : kRtnLchksum);
            break;
        case Fault::garbage:
            EXPECT_GT(wire.size(), clean.size());
            EXPECT_EQ(Bytes(wire.end() - static_cast<long>(clean.size()), wire.end()), clean);
            EXPECT_GT(d.dropped(), 0u);
            break;
        case Fault::split:
            EXPECT_GE(chunks.size(), 2u);
            EXPECT_GT(chunks.back().at, chunks.front().at);
            EXPECT_EQ(wire, clean);
            break;
        case Fault::double_answer:
            ASSERT_EQ(chunks.size(), 1u);
            EXPECT_EQ(got.size(), 2u);
            EXPECT_EQ(Bytes(wire.begin(), wire.begin() + static_cast<long>(clean.size())), clean);
            break;
        case Fault::error_rtn:
            ASSERT_EQ(got.size(), 1u);
            EXPECT_EQ(got[0].request->cid2, 0x06);
            EXPECT_TRUE(got[0].request->info.empty());
            break;
        case Fault::wrong_cid1: EXPECT_EQ(got.at(0).request->cid1, 0x41); break;
        case Fault::count_mismatch: EXPECT_EQ(got.at(0).request->info.at(1), 3); break;
        case Fault::short_info: EXPECT_EQ(got.at(0).request->info.size() + 1, (clean.size() - 18) / 2); break;
        case Fault::late:
            ASSERT_EQ(chunks.size(), 1u);
            EXPECT_DOUBLE_EQ(chunks[0].at, 10.7);
            EXPECT_EQ(wire, clean);
            break;
        }
    }
}
