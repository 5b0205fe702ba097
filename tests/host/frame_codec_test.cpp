#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "host/frame.h"

namespace {

using Bytes = std::vector<unsigned char>;

Bytes bytes_of(const std::string& s) { return Bytes(s.begin(), s.end()); }

// Everything one feed() call (or several) yields.
struct Sink {
    std::vector<Bytes> frames;
    std::vector<frame::Reject> rejects;

    // Feeds from an exactly sized heap copy so the sanitizer sees any over-read.
    void feed(frame::Receiver& rx, const Bytes& in) {
        std::unique_ptr<unsigned char[]> buf(new unsigned char[in.size() ? in.size() : 1]);
        if (!in.empty()) std::memcpy(buf.get(), in.data(), in.size());
        rx.feed(
            buf.get(), in.size(), [this](const Bytes& v) { frames.push_back(v); },
            [this](frame::Reject r) { rejects.push_back(r); });
    }
};

Sink run(const Bytes& in) {
    frame::Receiver rx;
    Sink s;
    s.feed(rx, in);
    return s;
}

const std::string kInfoRequest = "~200140510000FDB3\r";
const std::string kAcAnswer = "~20014041E002FFFD11\r";

// A frame body (between SOI and CHKSUM) closed with a correct CHKSUM and EOI.
Bytes with_checksum(const std::string& body) {
    const Bytes chars = bytes_of(body);
    char tail[8];
    std::snprintf(tail, sizeof tail, "%04X", frame::checksum(chars.data(), chars.size()));
    return bytes_of("~" + body + tail + "\r");
}

TEST(FrameCodec, EncodesAndDecodesTheReferenceFrames) {
    EXPECT_EQ(frame::encode(0x20, 0x01, 0x40, 0x51, nullptr, 0), bytes_of(kInfoRequest));
    const unsigned char ff = 0xFF;
    EXPECT_EQ(frame::encode(0x20, 0x01, 0x40, 0x41, &ff, 1), bytes_of(kAcAnswer));

    Sink a = run(bytes_of(kInfoRequest));
    ASSERT_EQ(a.frames.size(), 1u);
    EXPECT_TRUE(a.rejects.empty());
    EXPECT_EQ(a.frames[0], (Bytes{0x20, 0x01, 0x40, 0x51, 0x00, 0x00}));

    Sink b = run(bytes_of(kAcAnswer));
    ASSERT_EQ(b.frames.size(), 1u);
    EXPECT_TRUE(b.rejects.empty());
    EXPECT_EQ(b.frames[0], (Bytes{0x20, 0x01, 0x40, 0x41, 0x02, 0x00, 0xFF}));
}

TEST(FrameCodec, LengthFieldCarriesNegatedNibbleSum) {
    EXPECT_EQ(frame::length_field(0), 0x0000);
    EXPECT_EQ(frame::length_field(2), 0xE002);
    // 0xFFE: nibbles 15+15+14 = 44, 44 mod 16 = 12, -12 mod 16 = 4.
    EXPECT_EQ(frame::length_field(0xFFE), 0x4FFE);
    // Nibble sum a multiple of 16: LCHKSUM 0.
    EXPECT_EQ(frame::length_field(0x088), 0x0088);
    EXPECT_THROW(frame::encode(0x20, 1, 0x40, 0x41, Bytes(frame::kMaxInfoBytes + 1).data(),
                               frame::kMaxInfoBytes + 1),
                 std::length_error);
    EXPECT_THROW(frame::encode(0x20, 1, 0x40, 0x41, nullptr, 1), std::invalid_argument);
}

// The view of a long answer: LENID little-endian, every INFO byte, exact size.
TEST(FrameCodec, ViewLayoutOfALongAnswer) {
    Bytes info(300);
    for (size_t i = 0; i < info.size(); ++i) info[i] = static_cast<unsigned char>(i * 7 + 3);
    Sink s = run(frame::encode(0x21, 0x05, 0x42, 0x06, info.data(), info.size()));
    ASSERT_EQ(s.frames.size(), 1u);
    const Bytes& v = s.frames[0];
    ASSERT_EQ(v.size(), 6 + info.size());
    EXPECT_EQ(v[frame::kViewVer], 0x21);
    EXPECT_EQ(v[frame::kViewAdr], 0x05);
    EXPECT_EQ(v[frame::kViewCid1], 0x42);
    EXPECT_EQ(v[frame::kViewRtn], 0x06);
    // LENID 600 = 0x258, low byte first, LCHKSUM not part of it.
    EXPECT_EQ(v[frame::kViewLenLo], 0x58);
    EXPECT_EQ(v[frame::kViewLenHi], 0x02);
    EXPECT_TRUE(std::equal(info.begin(), info.end(), v.begin() + 6));

    // The largest INFO the length field can carry still decodes.
    Bytes big(frame::kMaxInfoBytes, 0xA5);
    Sink m = run(frame::encode(0x20, 1, 0x41, 0, big.data(), big.size()));
    ASSERT_EQ(m.frames.size(), 1u);
    EXPECT_TRUE(m.rejects.empty());
    EXPECT_EQ(m.frames[0].size(), 6 + frame::kMaxInfoBytes);
    EXPECT_EQ(m.frames[0][4] | m.frames[0][5] << 8, 2 * static_cast<int>(frame::kMaxInfoBytes));
}

TEST(FrameCodec, RejectsEachMalformedFrameWithItsReason) {
    struct Case {
        const char* what;
        Bytes in;
        frame::Reject reason;
    };
    // "20014041E002FF" with a correct CHKSUM is the reference answer; each case
    // breaks one thing and, where the CHKSUM would catch it first, recomputes it.
    const std::vector<Case> cases = {
        {"letter outside hex", with_checksum("20014041E002FG"), frame::Reject::NonHex},
        {"odd length", bytes_of("~20014041E002FFFD1\r"), frame::Reject::OddLength},
        {"too short", bytes_of("~2001404100\r"), frame::Reject::TooShort},
        {"empty", bytes_of("~\r"), frame::Reject::TooShort},
        {"bad LCHKSUM, CHKSUM right", with_checksum("20014041D002FF"), frame::Reject::BadLchksum},
        {"LENID says 4, INFO has 2", with_checksum("20014041C004FF"), frame::Reject::LenidMismatch},
        {"LENID says 0, INFO has 2", with_checksum("200140410000FF"), frame::Reject::LenidMismatch},
        {"bad CHKSUM", bytes_of("~20014041E002FFFD12\r"), frame::Reject::BadChksum},
        {"INFO changed, CHKSUM kept", bytes_of("~20014041E002FEFD11\r"), frame::Reject::BadChksum},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Sink s = run(c.in);
        EXPECT_TRUE(s.frames.empty());
        ASSERT_EQ(s.rejects.size(), 1u);
        EXPECT_EQ(s.rejects[0], c.reason) << frame::reject_text(s.rejects[0]);
    }
    // Every reason has its own text for the log.
    std::set<std::string> texts;
    for (auto r : {frame::Reject::NonHex, frame::Reject::OddLength, frame::Reject::TooShort,
                   frame::Reject::TooLong, frame::Reject::Truncated, frame::Reject::BadLchksum,
                   frame::Reject::LenidMismatch, frame::Reject::BadChksum, frame::Reject::Unfinished})
        texts.insert(frame::reject_text(r));
    EXPECT_EQ(texts.size(), frame::kRejectReasons);
}

TEST(FrameCodec, NewSoiCutsAFrameShortAndStartsTheNextOne) {
    Bytes in = bytes_of("~20014041E0");
    const Bytes good = bytes_of(kAcAnswer);
    in.insert(in.end(), good.begin(), good.end());
    Sink s = run(in);
    ASSERT_EQ(s.rejects.size(), 1u);
    EXPECT_EQ(s.rejects[0], frame::Reject::Truncated);
    ASSERT_EQ(s.frames.size(), 1u);
    EXPECT_EQ(s.frames[0][6], 0xFF);
}

TEST(FrameCodec, OverlongFrameIsDroppedOnceAndTheReceiverRecovers) {
    const Bytes good = bytes_of(kAcAnswer);
    // Longer than any frame, no EOI, then a new frame: one TooLong, then the frame.
    Bytes in{frame::SOI};
    in.insert(in.end(), frame::kMaxBodyChars + 500, 'A');
    in.insert(in.end(), good.begin(), good.end());
    Sink s = run(in);
    ASSERT_EQ(s.rejects.size(), 1u);
    EXPECT_EQ(s.rejects[0], frame::Reject::TooLong);
    ASSERT_EQ(s.frames.size(), 1u);

    // The same, ended by EOI, in small reads: still one TooLong, then the frame.
    Bytes in2{frame::SOI};
    in2.insert(in2.end(), 3 * frame::kMaxBodyChars, '0');
    in2.push_back(frame::EOI);
    in2.insert(in2.end(), good.begin(), good.end());
    frame::Receiver rx;
    Sink t;
    for (size_t i = 0; i < in2.size(); i += 97)
        t.feed(rx, Bytes(in2.begin() + i, in2.begin() + std::min(in2.size(), i + 97)));
    ASSERT_EQ(t.rejects.size(), 1u);
    EXPECT_EQ(t.rejects[0], frame::Reject::TooLong);
    EXPECT_EQ(t.frames.size(), 1u);
}

TEST(FrameCodec, ReassemblesAFrameSplitAtEveryPoint) {
    const Bytes good = bytes_of(kAcAnswer);
    const Sink whole = run(good);
    ASSERT_EQ(whole.frames.size(), 1u);
    for (size_t cut = 0; cut <= good.size(); ++cut) {
        SCOPED_TRACE(cut);
        frame::Receiver rx;
        Sink s;
        s.feed(rx, Bytes(good.begin(), good.begin() + cut));
        s.feed(rx, Bytes(good.begin() + cut, good.end()));
        EXPECT_TRUE(s.rejects.empty());
        ASSERT_EQ(s.frames.size(), 1u);
        EXPECT_EQ(s.frames[0], whole.frames[0]);
    }
    // One byte a read.
    frame::Receiver rx;
    Sink s;
    for (unsigned char c : good) s.feed(rx, Bytes{c});
    ASSERT_EQ(s.frames.size(), 1u);
    EXPECT_EQ(s.frames[0], whole.frames[0]);
}

TEST(FrameCodec, SeveralFramesAndGarbageInOneRead) {
    const unsigned char info[] = {0x01, 0x02, 0x03};
    Bytes in = bytes_of("noise\r\n");
    const Bytes a = frame::encode(0x20, 1, 0x40, 0, info, 3);
    const Bytes b = frame::encode(0x20, 1, 0x41, 0, nullptr, 0);
    const Bytes c = frame::encode(0x20, 1, 0x42, 4, info, 1);
    in.insert(in.end(), a.begin(), a.end());
    in.insert(in.end(), b.begin(), b.end());
    in.push_back(0x00);
    in.push_back(0xFF);
    in.push_back(frame::EOI);  // a stray EOI outside any frame is garbage
    in.insert(in.end(), c.begin(), c.end());

    frame::Receiver rx;
    Sink s;
    s.feed(rx, in);
    EXPECT_TRUE(s.rejects.empty());
    ASSERT_EQ(s.frames.size(), 3u);
    EXPECT_EQ(s.frames[0], (Bytes{0x20, 1, 0x40, 0, 6, 0, 1, 2, 3}));
    EXPECT_EQ(s.frames[1], (Bytes{0x20, 1, 0x41, 0, 0, 0}));
    EXPECT_EQ(s.frames[2], (Bytes{0x20, 1, 0x42, 4, 2, 0, 1}));
    EXPECT_EQ(rx.garbage_bytes(), 7u + 3u);

    // A frame left half-way by reset() does not poison the next one.
    frame::Receiver rx2;
    Sink t;
    t.feed(rx2, Bytes(a.begin(), a.begin() + 9));
    rx2.reset();
    t.feed(rx2, Bytes(a.begin() + 9, a.end()));  // its tail is garbage now
    t.feed(rx2, b);
    EXPECT_TRUE(t.rejects.empty());
    ASSERT_EQ(t.frames.size(), 1u);
    EXPECT_EQ(t.frames[0][2], 0x41);
}

}  // namespace
