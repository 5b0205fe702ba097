// Feeds arbitrary bytes, cut into arbitrary reads, to frame::Receiver, and
// holds what it yields against a plain reading of the wire format.
//
// Input: byte 0 picks the cutting (low four bits 0: the whole line in one
// read) and seeds the read lengths, the rest is the line. Checks:
// - the receiver, however the line is cut into reads, yields exactly what a
//   plain reference reader (below: one byte and one rule at a time, sharing
//   nothing with the receiver but the constants) yields for the whole line:
//   the same frames and the same rejections, in the same order, frames
//   beginning at the same SOI, the same garbage count and the same partial
//   frame left at the end;
// - every view is exactly 6 + LENID/2 bytes, LENID even and within bounds;
// - re-encoding a view gives a frame that decodes, alone, to the same view;
// - the characters kept for a frame are exactly its header, INFO and CHKSUM;
// - the receiver's position count counts every byte fed;
// - abandoning what is left reports at most one Unfinished frame, and only
//   when a frame had begun.
// A parse never reads beyond its input; the sanitizers watch for that: the
// whole line and each read come in an allocation of exactly their size
// (fuzz/exact.h), so a read across the end of a read, or of an earlier one,
// is a report; the receiver's own buffer is poisoned past what it holds and
// the build annotates std::vector, so a read past either is one too.
//
// Speed: the harness is built without coverage instrumentation (it holds
// none of the code under test), the receiver runs once per input (the
// reference takes the place of a second pass), and everything kept between
// inputs is made once and cleared.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "fuzz/exact.h"
#include "host/frame.h"

namespace {

using Bytes = std::vector<unsigned char>;

void check(bool ok) {
    if (!ok) std::abort();
}

// What a reader yielded since start(): the views back to back, and one
// entry per event in order: a view's end offset, or -1 - reason for a
// rejection, with the position of each frame's SOI beside it. Sized once
// for the input (no event takes less than a byte), filled by index.
struct Events {
    Bytes views;
    std::vector<int64_t> events;
    std::vector<uint64_t> starts;
    size_t view_bytes = 0, count = 0;

    void start(size_t n) {
        // A view of k INFO bytes takes 18 + 2k bytes of line.
        if (views.size() < n) views.resize(n);
        if (events.size() < n + 1) {
            events.resize(n + 1);
            starts.resize(n + 1);
        }
        view_bytes = count = 0;
    }
    void frame(const unsigned char* v, size_t size, uint64_t at) {
        check(view_bytes + size <= views.size() && count < events.size());
        std::copy(v, v + size, views.begin() + static_cast<long>(view_bytes));
        view_bytes += size;
        starts[count] = at;
        events[count++] = static_cast<int64_t>(view_bytes);
    }
    void reject(frame::Reject r) {
        check(count < events.size());
        starts[count] = 0;
        events[count++] = -1 - static_cast<int64_t>(r);
    }
    bool rejected() const {
        for (size_t k = 0; k < count; ++k)
            if (events[k] < 0) return true;
        return false;
    }
    bool operator==(const Events& o) const {
        return count == o.count && view_bytes == o.view_bytes &&
               std::equal(views.begin(), views.begin() + static_cast<long>(view_bytes), o.views.begin()) &&
               std::equal(events.begin(), events.begin() + static_cast<long>(count), o.events.begin()) &&
               std::equal(starts.begin(), starts.begin() + static_cast<long>(count), o.starts.begin());
    }
};

// Feeds a receiver and records what it yields, positions counted from where
// the input began.
struct Fed {
    frame::Receiver rx;
    Events got;
    uint64_t base = 0;
    void start(size_t n) {
        rx.reset();
        base = rx.position();
        got.start(n);
    }
    void feed(const unsigned char* data, size_t n) {
        rx.feed(
            data, n,
            [this](const Bytes& v) {
                check(rx.frame_chars().size() ==
                      frame::kHeaderChars + 2 * (v.size() - frame::kViewInfo) + frame::kChecksumChars);
                got.frame(v.data(), v.size(), rx.frame_start() - base);
            },
            [this](frame::Reject r) { got.reject(r); });
    }
};

// The wire format read the plain way, from the whole line: a frame's body
// is the stretch of line between its SOI and its EOI.
struct Reference {
    const unsigned char* line = nullptr;
    bool in_frame = false, overflowed = false;
    uint64_t start = 0;  // of the frame's SOI
    size_t garbage = 0;

    static int hex(unsigned char c) {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        return -1;
    }

    void read(const unsigned char* d, size_t n, Events& out) {
        line = d;
        in_frame = overflowed = false;
        garbage = 0;
        for (size_t i = 0; i < n; ++i) {
            const unsigned char c = d[i];
            if (c == frame::SOI) {
                if (in_frame && !overflowed) out.reject(frame::Reject::Truncated);
                in_frame = true;
                overflowed = false;
                start = i;
            } else if (!in_frame) {
                ++garbage;
            } else if (c == frame::EOI) {
                if (!overflowed) finish(d + start + 1, i - start - 1, out);
                in_frame = overflowed = false;
            } else if (!overflowed && i - start - 1 == frame::kMaxBodyChars) {
                overflowed = true;
                out.reject(frame::Reject::TooLong);
            } else {
                // The rest of the body up to the next delimiter or the limit.
                const size_t limit = overflowed ? n : std::min(n, static_cast<size_t>(start) + 1 + frame::kMaxBodyChars);
                while (i + 1 < limit && d[i + 1] != frame::SOI && d[i + 1] != frame::EOI) ++i;
            }
        }
    }
    void finish(const unsigned char* body, size_t size, Events& out) const {
        auto byte = [&](size_t i) { return static_cast<unsigned>(hex(body[i]) * 16 + hex(body[i + 1])); };
        for (size_t i = 0; i < size; ++i)
            if (hex(body[i]) < 0) return out.reject(frame::Reject::NonHex);
        if (size % 2) return out.reject(frame::Reject::OddLength);
        if (size < 16) return out.reject(frame::Reject::TooShort);
        const unsigned length = byte(8) << 8 | byte(10);
        const unsigned lenid = length & 0xFFF;
        // The three LENID nibbles and LCHKSUM add up to a multiple of 16.
        if (((lenid & 15) + (lenid >> 4 & 15) + (lenid >> 8) + (length >> 12)) % 16 != 0)
            return out.reject(frame::Reject::BadLchksum);
        if (lenid != size - 16) return out.reject(frame::Reject::LenidMismatch);
        // The characters and CHKSUM add up to a multiple of 65536.
        unsigned sum = byte(size - 4) << 8 | byte(size - 2);
        for (size_t i = 0; i + 4 < size; ++i) sum += body[i];
        if (sum % 65536 != 0) return out.reject(frame::Reject::BadChksum);
        unsigned char v[frame::kViewInfo + frame::kMaxInfoBytes];
        size_t k = 0;
        for (size_t i : {0, 2, 4, 6}) v[k++] = static_cast<unsigned char>(byte(i));
        v[k++] = static_cast<unsigned char>(lenid & 0xFF);
        v[k++] = static_cast<unsigned char>(lenid >> 8);
        for (size_t i = 12; i + 4 < size; i += 2) v[k++] = static_cast<unsigned char>(byte(i));
        out.frame(v, k, start);
    }
};

Fed fed, again;
Reference reference;
Events expected;
fuzz::Slices slices;

void check_view(const unsigned char* v, size_t size) {
    check(size >= frame::kViewInfo);
    const size_t lenid = static_cast<size_t>(v[frame::kViewLenLo]) | static_cast<size_t>(v[frame::kViewLenHi]) << 8;
    check(lenid % 2 == 0);
    check(lenid <= 2 * frame::kMaxInfoBytes);
    check(size == frame::kViewInfo + lenid / 2);

    const Bytes encoded = frame::encode(v[frame::kViewVer], v[frame::kViewAdr], v[frame::kViewCid1],
                                        v[frame::kViewRtn], v + frame::kViewInfo, lenid / 2);
    again.start(encoded.size());
    again.feed(encoded.data(), encoded.size());
    check(!again.got.rejected() && !again.rx.partial());
    check(again.got.count == 1 && again.got.starts[0] == 0);
    check(again.got.view_bytes == size && std::equal(again.got.views.begin(),
                                                     again.got.views.begin() + static_cast<long>(size), v));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    uint32_t seed = data[0] * 2654435761u + 1;
    const fuzz::Exact line(data + 1, size - 1);
    const size_t n = line.len();

    expected.start(n);
    reference.read(line.data(), n, expected);

    fed.start(n);
    const size_t garbage_before = fed.rx.garbage_bytes();
    if ((data[0] & 0x0F) == 0) {
        fed.feed(line.data(), n);
    } else {
        size_t at = 0;
        while (at < n) {
            seed = seed * 1103515245u + 12345u;
            // Mostly short reads, now and then a long one.
            size_t len = (seed >> 16) % 8 == 0 ? (seed >> 8) % 512 : (seed >> 16) % 17;
            if (len > n - at) len = n - at;
            fed.feed(slices.place(line.data() + at, len), len);  // zero-length reads included
            at += len;
            check(fed.rx.position() - fed.base == at);
        }
        slices.done();
    }
    check(fed.rx.position() - fed.base == n);

    check(fed.got == expected);
    check(fed.rx.garbage_bytes() - garbage_before == reference.garbage);
    // Each view once (a line often repeats a frame).
    size_t from = 0, last_from = 0, last_size = 0;
    for (size_t k = 0; k < expected.count; ++k) {
        if (expected.events[k] < 0) continue;
        const size_t to = static_cast<size_t>(expected.events[k]);
        const unsigned char* v = expected.views.data();
        if (to - from != last_size || !std::equal(v + from, v + to, v + last_from)) check_view(v + from, to - from);
        last_from = from;
        last_size = to - from;
        from = to;
    }

    const bool partial = fed.rx.partial();
    check(partial == reference.in_frame);
    if (partial) check(fed.rx.frame_start() - fed.base == reference.start);
    size_t left = 0;
    fed.rx.abandon([&](frame::Reject r) {
        check(r == frame::Reject::Unfinished);
        ++left;
    });
    check(left == (partial && !reference.overflowed ? 1u : 0u));
    check(!fed.rx.partial());
    fed.rx.abandon([](frame::Reject) { check(false); });
    return 0;
}
