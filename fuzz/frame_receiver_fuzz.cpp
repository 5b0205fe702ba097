// Feeds arbitrary bytes, cut into arbitrary reads, to frame::Receiver.
//
// Input: byte 0 seeds the read lengths, the rest is the line. Checks:
// - every view is exactly 6 + LENID/2 bytes, LENID even and within bounds;
// - re-encoding a view gives a frame that decodes, alone, to the same view;
// - cutting the line into reads changes nothing: the same frames and the
//   same rejections, in the same order, as one read of the whole line;
// - the characters kept for a frame are exactly its header, INFO and CHKSUM;
// - abandoning what is left reports at most one Unfinished frame, and only
//   when a frame had begun.
// A parse never reads beyond its input; the sanitizers watch for that.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "host/frame.h"

namespace {

using Bytes = std::vector<unsigned char>;

void check(bool ok) {
    if (!ok) std::abort();
}

struct Events {
    std::vector<Bytes> frames;
    std::vector<int> rejects;
    std::vector<int> order;  // 0 frame, 1 reject

    void feed(frame::Receiver& rx, const unsigned char* data, size_t n) {
        rx.feed(
            data, n,
            [this, &rx](const Bytes& v) {
                check(rx.frame_chars().size() ==
                      frame::kHeaderChars + 2 * (v.size() - frame::kViewInfo) + frame::kChecksumChars);
                frames.push_back(v);
                order.push_back(0);
            },
            [this](frame::Reject r) {
                rejects.push_back(static_cast<int>(r));
                order.push_back(1);
            });
    }
};

void check_view(const Bytes& v) {
    check(v.size() >= frame::kViewInfo);
    const size_t lenid = static_cast<size_t>(v[frame::kViewLenLo]) | static_cast<size_t>(v[frame::kViewLenHi]) << 8;
    check(lenid % 2 == 0);
    check(lenid <= 2 * frame::kMaxInfoBytes);
    check(v.size() == frame::kViewInfo + lenid / 2);

    const Bytes again = frame::encode(v[frame::kViewVer], v[frame::kViewAdr], v[frame::kViewCid1],
                                      v[frame::kViewRtn], v.data() + frame::kViewInfo, lenid / 2);
    frame::Receiver rx;
    Events e;
    e.feed(rx, again.data(), again.size());
    check(e.rejects.empty());
    check(e.frames.size() == 1);
    check(e.frames[0] == v);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    uint32_t seed = data[0] * 2654435761u + 1;
    const unsigned char* line = data + 1;
    const size_t n = size - 1;

    frame::Receiver whole_rx;
    Events whole;
    whole.feed(whole_rx, line, n);

    frame::Receiver split_rx;
    Events split;
    size_t at = 0;
    while (at < n) {
        seed = seed * 1103515245u + 12345u;
        // Mostly short reads, now and then a long one.
        size_t len = (seed >> 16) % 8 == 0 ? (seed >> 8) % 512 : (seed >> 16) % 17;
        if (len > n - at) len = n - at;
        split.feed(split_rx, line + at, len);  // zero-length reads included
        at += len;
    }

    check(split.frames == whole.frames);
    check(split.rejects == whole.rejects);
    check(split.order == whole.order);
    check(split_rx.garbage_bytes() == whole_rx.garbage_bytes());
    for (const auto& v : whole.frames) check_view(v);

    const bool partial = whole_rx.partial();
    std::vector<frame::Reject> left;
    whole_rx.abandon([&](frame::Reject r) { left.push_back(r); });
    check(left.size() <= (partial ? 1u : 0u));
    for (auto r : left) check(r == frame::Reject::Unfinished);
    check(!whole_rx.partial());
    whole_rx.abandon([](frame::Reject) { check(false); });
    return 0;
}
