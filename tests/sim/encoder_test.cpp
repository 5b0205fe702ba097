// The simulator's own frame code against the wire test vectors, and its
// request decoder against what a line delivers: stray bytes, frames split
// and joined, damaged frames. Independent of the host's codec on purpose.

#include <gtest/gtest.h>

#include <random>

#include "sim/encoder.h"

using namespace sim;

namespace {

Bytes text(const std::string& s) { return Bytes(s.begin(), s.end()); }

// A frame around any text, with its CHKSUM right.
Bytes framed(const std::string& t) {
    const uint16_t c = chksum_of(reinterpret_cast<const uint8_t*>(t.data()), t.size());
    return text("~" + t + to_hex({static_cast<uint8_t>(c >> 8), static_cast<uint8_t>(c & 0xFF)}) + "\r");
}

std::vector<RequestDecoder::Result> feed(RequestDecoder& d, const Bytes& bytes) {
    std::vector<RequestDecoder::Result> out;
    for (uint8_t b : bytes)
        if (auto r = d.feed(b)) out.push_back(*r);
    return out;
}

}  // namespace

TEST(Encoder, WireTestVectorsAndWhatALineDoesToFrames) {
    EXPECT_EQ(encode_frame(0x20, 0x01, 0x40, 0x51, {}), text("~200140510000FDB3\r"));
    EXPECT_EQ(encode_frame(0x20, 0x01, 0x40, 0x41, {0xFF}), text("~20014041E002FFFD11\r"));
    EXPECT_EQ(length_field(kMaxInfo), 0x4FFE);
    EXPECT_THROW(encode_frame(0x20, 1, 0x40, 0, Bytes(kMaxInfo + 1, 0)), std::length_error);

    std::mt19937 rng(7);
    std::vector<Bytes> infos{{}, Bytes(kMaxInfo, 0xA5)};
    for (int i = 0; i < 40; ++i) {
        infos.emplace_back(rng() % 300);
        for (auto& x : infos.back()) x = static_cast<uint8_t>(rng());
    }
    // Every frame behind stray bytes, all in one stream, read in pieces of any size.
    Bytes stream;
    for (size_t i = 0; i < infos.size(); ++i) {
        for (uint8_t g : {0x00, 0x0D, 0x41, 0xFF}) stream.push_back(g);
        const Bytes f = encode_frame(0x20, 1, 0x40 + i % 3, static_cast<uint8_t>(i), infos[i]);
        stream.insert(stream.end(), f.begin(), f.end());
    }
    RequestDecoder d;
    std::vector<RequestDecoder::Result> got;
    for (size_t at = 0, n; at < stream.size(); at += n) {
        n = std::min<size_t>(1 + rng() % 64, stream.size() - at);
        auto part = feed(d, Bytes(stream.begin() + static_cast<long>(at), stream.begin() + static_cast<long>(at + n)));
        got.insert(got.end(), part.begin(), part.end());
    }
    ASSERT_EQ(got.size(), infos.size());
    for (size_t i = 0; i < infos.size(); ++i) {
        ASSERT_TRUE(got[i].request) << i << ": " << got[i].bad->reason;
        const Request& q = *got[i].request;
        EXPECT_EQ(std::make_tuple(q.ver, q.adr, q.cid1, q.cid2, q.info), std::make_tuple(0x20, 1, 0x40 + i % 3, i, infos[i]));
    }
    EXPECT_EQ(d.dropped(), 4 * infos.size());
    // Lower-case hex is read too; its CHKSUM covers the characters as sent.
    auto r = feed(d, framed("20014041e002ff"));
    ASSERT_TRUE(r.size() == 1 && r[0].request);
    EXPECT_EQ(r[0].request->info, Bytes{0xFF});
}

TEST(Encoder, DamagedAndMalformedFramesGetTheirReturnCodes) {
    const std::pair<Bytes, Rtn> cases[] = {
        {encode_frame(0x20, 1, 0x40, 0x41, {0xFF}, Damage{true, false}), kRtnChksum},
        {encode_frame(0x20, 1, 0x40, 0x41, {0xFF}, Damage{false, true}), kRtnLchksum},
        {encode_frame(0x20, 1, 0x40, 0x41, {}, Damage{false, true}), kRtnLchksum},
        {framed("20014041E002FG"), kRtnFormat},  // not hex
        {framed("20014041C004FF"), kRtnFormat},  // LENID 4, two characters of INFO
        {text("~20014041E002FFFD1\r"), kRtnFormat},
        {text("~2001\r"), kRtnFormat},
    };
    for (const auto& [frame, rtn] : cases) {
        RequestDecoder d;
        auto r = feed(d, frame);
        ASSERT_TRUE(r.size() == 1 && r[0].bad) << std::string(frame.begin(), frame.end());
        EXPECT_EQ(r[0].bad->rtn, rtn) << r[0].bad->reason;
        EXPECT_EQ(r[0].bad->raw, frame);
        EXPECT_EQ(r[0].bad->adr, std::optional<uint8_t>(1));
    }
    // An SOI inside a frame starts a new one; an endless frame is given up.
    RequestDecoder d;
    const Bytes good = encode_frame(0x20, 1, 0x40, 0x51, {});
    Bytes line = text("~2001404");
    line.insert(line.end(), good.begin(), good.end());
    line.push_back(kSoi);
    line.resize(line.size() + 2 * kMaxInfo + 20, '0');
    line.insert(line.end(), good.begin(), good.end());
    auto r = feed(d, line);
    EXPECT_TRUE(r.size() == 2 && r[0].request && r[1].request && d.pending() == 0);
}
