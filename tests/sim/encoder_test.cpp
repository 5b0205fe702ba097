// The simulator's own frame code against the wire test vectors, and its
// request decoder against what a line delivers: garbage, split and joined
// frames, damaged frames. Independent of the host's codec on purpose.

#include <gtest/gtest.h>

#include <cctype>
#include <random>

#include "sim/encoder.h"

using namespace sim;

namespace {

Bytes text(const std::string& s) { return Bytes(s.begin(), s.end()); }

std::vector<RequestDecoder::Result> feed(RequestDecoder& d, const Bytes& bytes) {
    std::vector<RequestDecoder::Result> out;
    for (uint8_t b : bytes)
        if (auto r = d.feed(b)) out.push_back(*r);
    return out;
}

}  // namespace

TEST(Encoder, WireTestVectors) {
    EXPECT_EQ(encode_frame(0x20, 0x01, 0x40, 0x51, {}), text("~200140510000FDB3\r"));
    EXPECT_EQ(encode_frame(0x20, 0x01, 0x40, 0x41, {0xFF}), text("~20014041E002FFFD11\r"));
    // LENGTH: LCHKSUM is the negated sum of the LENID nibbles.
    EXPECT_EQ(length_field(0), 0x0000);
    EXPECT_EQ(length_field(1), 0xE002);
    EXPECT_EQ(length_field(9), 0xD012);
    EXPECT_EQ(length_field(kMaxInfo), 0x4FFE);
    EXPECT_THROW(encode_frame(0x20, 1, 0x40, 0, Bytes(kMaxInfo + 1, 0)), std::length_error);
}

TEST(Encoder, DecoderReadsWhatTheEncoderWritesWhateverTheLineDoesToIt) {
    std::mt19937 rng(7);
    std::vector<Bytes> infos{{}, {0xFF}, Bytes(kMaxInfo, 0xA5)};
    for (int i = 0; i < 40; ++i) {
        Bytes b(rng() % 300);
        for (auto& x : b) x = static_cast<uint8_t>(rng());
        infos.push_back(b);
    }
    // Every frame behind stray bytes, all of it in one stream, read in pieces of any size.
    Bytes stream;
    for (size_t i = 0; i < infos.size(); ++i) {
        for (uint8_t g : {0x00, 0x0D, 0x41, 0xFF}) stream.push_back(g);
        const Bytes f = encode_frame(0x20, 1, 0x40 + i % 3, static_cast<uint8_t>(i), infos[i]);
        stream.insert(stream.end(), f.begin(), f.end());
    }
    RequestDecoder d;
    std::vector<RequestDecoder::Result> got;
    for (size_t at = 0; at < stream.size();) {
        const size_t n = std::min<size_t>(1 + rng() % 64, stream.size() - at);
        auto part = feed(d, Bytes(stream.begin() + static_cast<long>(at), stream.begin() + static_cast<long>(at + n)));
        got.insert(got.end(), part.begin(), part.end());
        at += n;
    }
    ASSERT_EQ(got.size(), infos.size());
    for (size_t i = 0; i < infos.size(); ++i) {
        ASSERT_TRUE(got[i].request) << i << ": " << got[i].bad->reason << " " << infos[i].size();
        EXPECT_EQ(got[i].request->ver, 0x20);
        EXPECT_EQ(got[i].request->adr, 1);
        EXPECT_EQ(got[i].request->cid1, 0x40 + i % 3);
        EXPECT_EQ(got[i].request->cid2, static_cast<uint8_t>(i));
        EXPECT_EQ(got[i].request->info, infos[i]);
        EXPECT_EQ(got[i].request->raw, encode_frame(0x20, 1, 0x40 + i % 3, static_cast<uint8_t>(i), infos[i]));
    }
    EXPECT_EQ(d.dropped(), 4 * infos.size());
    // Lower-case hex is read as well; the CHKSUM covers the characters as sent.
    const std::string body = "20014041e002ff";
    const uint16_t c = chksum_of(reinterpret_cast<const uint8_t*>(body.data()), body.size());
    std::string hex = to_hex({static_cast<uint8_t>(c >> 8), static_cast<uint8_t>(c & 0xFF)});
    for (char& ch : hex) ch = static_cast<char>(std::tolower(ch));
    auto r = feed(d, text("~" + body + hex + "\r"));
    ASSERT_EQ(r.size(), 1u);
    ASSERT_TRUE(r[0].request);
    EXPECT_EQ(r[0].request->info, Bytes{0xFF});
}

TEST(Encoder, DamagedAndMalformedFramesGetTheirReturnCodes) {
    struct Case {
        Bytes frame;
        Rtn rtn;
    };
    // A frame around any text, with its CHKSUM right.
    auto framed = [](const std::string& t) {
        const uint16_t c = chksum_of(reinterpret_cast<const uint8_t*>(t.data()), t.size());
        return text("~" + t + to_hex({static_cast<uint8_t>(c >> 8), static_cast<uint8_t>(c & 0xFF)}) + "\r");
    };
    const Bytes nonhex = framed("20014041E002FG");
    const Bytes lenid = framed("20014041C004FF");  // LENID 4 with right LCHKSUM, two characters of INFO
    const Case cases[] = {
        {encode_frame(0x20, 1, 0x40, 0x41, {0xFF}, Damage{true, false}), kRtnChksum},
        {encode_frame(0x20, 1, 0x40, 0x41, {0xFF}, Damage{false, true}), kRtnLchksum},
        {encode_frame(0x20, 1, 0x40, 0x41, {}, Damage{false, true}), kRtnLchksum},
        {nonhex, kRtnFormat},
        {text("~2001\r"), kRtnFormat},
        {text("~20014041E002FFFD1\r"), kRtnFormat},
        {lenid, kRtnFormat},
    };
    for (const auto& c : cases) {
        RequestDecoder d;
        auto r = feed(d, c.frame);
        ASSERT_EQ(r.size(), 1u) << std::string(c.frame.begin(), c.frame.end());
        ASSERT_TRUE(r[0].bad) << std::string(c.frame.begin(), c.frame.end());
        EXPECT_EQ(r[0].bad->rtn, c.rtn) << r[0].bad->reason;
        EXPECT_EQ(r[0].bad->raw, c.frame);
        if (c.frame.size() > 6) {
            EXPECT_EQ(r[0].bad->adr, std::optional<uint8_t>(1));
        }
    }
    // An SOI inside a frame starts a new one; an endless frame is given up.
    RequestDecoder d;
    Bytes cut = text("~2001404");
    const Bytes good = encode_frame(0x20, 1, 0x40, 0x51, {});
    cut.insert(cut.end(), good.begin(), good.end());
    auto r = feed(d, cut);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_TRUE(r[0].request);
    Bytes endless(1, kSoi);
    endless.resize(12 + 2 * kMaxInfo + 4 + 2, '0');
    EXPECT_TRUE(feed(d, endless).empty());
    EXPECT_EQ(d.pending(), 0u);
    r = feed(d, good);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_TRUE(r[0].request);
}
