#include "host/frame.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace frame {

// The loops over every byte of a read or a frame decide nothing themselves
// (their callers branch on what they found), so the coverage instrumentation
// a fuzzing build puts on every compare would only cost there. They are kept
// out of line, or they would be instrumented as part of their caller, and use
// nothing inline from elsewhere (it would not be inlined into them).
// AddressSanitizer still checks every access.
#if defined(__clang__)
#define FRAME_NO_COVERAGE __attribute__((no_sanitize("coverage"), noinline))
#define FRAME_NO_COVERAGE_LEAF __attribute__((no_sanitize("coverage")))
#else
#define FRAME_NO_COVERAGE
#define FRAME_NO_COVERAGE_LEAF
#endif

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define FRAME_ASAN 1
#endif
#elif defined(__SANITIZE_ADDRESS__)
#define FRAME_ASAN 1
#endif
#ifdef FRAME_ASAN
extern "C" void __asan_poison_memory_region(void const volatile* addr, size_t size);
extern "C" void __asan_unpoison_memory_region(void const volatile* addr, size_t size);
#define FRAME_POISON(p, n) __asan_poison_memory_region((p), (n))
#define FRAME_UNPOISON(p, n) __asan_unpoison_memory_region((p), (n))
#else
#define FRAME_POISON(p, n) ((void)(p), (void)(n))
#define FRAME_UNPOISON(p, n) ((void)(p), (void)(n))
#endif

namespace {
constexpr char kHex[] = "0123456789ABCDEF";
constexpr unsigned char kNotHex = 0x10;

// Value of each character as a hex digit, kNotHex for the rest. Some
// controllers answer in lower case; the checksum covers the characters as
// they came, so nothing else changes.
struct HexTable {
    unsigned char v[256];
    constexpr HexTable() : v() {
        for (int c = 0; c < 256; ++c) v[c] = kNotHex;
        for (int c = '0'; c <= '9'; ++c) v[c] = static_cast<unsigned char>(c - '0');
        for (int c = 'A'; c <= 'F'; ++c) v[c] = static_cast<unsigned char>(c - 'A' + 10);
        for (int c = 'a'; c <= 'f'; ++c) v[c] = static_cast<unsigned char>(c - 'a' + 10);
    }
};
constexpr HexTable kHexValue;

FRAME_NO_COVERAGE_LEAF inline unsigned char* put_hex(unsigned char* out, uint8_t b) {
    out[0] = static_cast<unsigned char>(kHex[b >> 4]);
    out[1] = static_cast<unsigned char>(kHex[b & 0x0F]);
    return out + 2;
}

FRAME_NO_COVERAGE unsigned char* put_hex_run(unsigned char* out, const unsigned char* bytes, size_t n) {
    for (size_t i = 0; i < n; ++i) out = put_hex(out, bytes[i]);
    return out;
}

// Characters at [i, i+2) of an all-hex body as one byte.
FRAME_NO_COVERAGE uint8_t byte_at(const unsigned char* body, size_t i) {
    return static_cast<uint8_t>(kHexValue.v[body[i]] << 4 | kHexValue.v[body[i + 1]]);
}

// Eight bytes at a time where they fit: one load (and one sanitizer check)
// instead of eight. A word has a byte equal to c when the classic zero-byte
// test finds one in word ^ (c in every byte).
constexpr uint64_t kOnes = 0x0101010101010101ull;
constexpr uint64_t kHighs = 0x8080808080808080ull;
FRAME_NO_COVERAGE_LEAF inline uint64_t load_word(const unsigned char* p) {
    uint64_t w;
    std::memcpy(&w, p, sizeof w);
    return w;
}
FRAME_NO_COVERAGE_LEAF inline bool has_byte(uint64_t w, unsigned char c) {
    const uint64_t x = w ^ (kOnes * c);
    return ((x - kOnes) & ~x & kHighs) != 0;
}

// Index of the first SOI in data[i, n), or n.
FRAME_NO_COVERAGE size_t find_soi(const unsigned char* data, size_t i, size_t n) {
    while (i + 8 <= n && !has_byte(load_word(data + i), SOI)) i += 8;
    while (i < n && data[i] != SOI) ++i;
    return i;
}

// Index of the first SOI or EOI in data[i, n), or n.
FRAME_NO_COVERAGE size_t find_delimiter(const unsigned char* data, size_t i, size_t n) {
    while (i + 8 <= n) {
        const uint64_t w = load_word(data + i);
        if (has_byte(w, SOI) || has_byte(w, EOI)) break;
        i += 8;
    }
    while (i < n && data[i] != SOI && data[i] != EOI) ++i;
    return i;
}

// Appends a run to the body: makes it addressable, then copies it. Short
// runs (a frame every few bytes) are common on a bad line; memcpy's call and
// range check would cost more than the copy there.
FRAME_NO_COVERAGE void append_run(unsigned char* to, const unsigned char* from, size_t n) {
    if (n == 0) return;
    FRAME_UNPOISON(to, n);
    if (n > 32) {
        std::memcpy(to, from, n);
        return;
    }
    for (size_t i = 0; i < n; ++i) to[i] = from[i];
}

// kNotHex set if any character is not a hex digit.
FRAME_NO_COVERAGE unsigned char hex_marks(const unsigned char* chars, size_t n) {
    unsigned char marks = 0;
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        const uint64_t w = load_word(chars + i);
        for (int k = 0; k < 8; ++k) marks |= kHexValue.v[(w >> (8 * k)) & 0xFF];
    }
    for (; i < n; ++i) marks |= kHexValue.v[chars[i]];
    return marks;
}

// n bytes from the 2n hex characters at chars.
FRAME_NO_COVERAGE void decode_hex(const unsigned char* chars, unsigned char* out, size_t n) {
    for (size_t k = 0; k < n; ++k)
        out[k] = static_cast<unsigned char>(kHexValue.v[chars[2 * k]] << 4 | kHexValue.v[chars[2 * k + 1]]);
}

}  // namespace

const char* rtn_text(uint8_t rtn) {
    switch (rtn) {
        case RTN_OK: return "normal";
        case RTN_VER_ERROR: return "VER error";
        case RTN_CHKSUM_ERROR: return "CHKSUM error";
        case RTN_LCHKSUM_ERROR: return "LCHKSUM error";
        case RTN_INVALID_CID2: return "invalid CID2";
        case RTN_FORMAT_ERROR: return "command format error";
        case RTN_INVALID_DATA: return "invalid data";
        default: return "unknown return code";
    }
}

const char* reject_text(Reject r) {
    switch (r) {
        case Reject::NonHex: return "non-hex character";
        case Reject::OddLength: return "odd number of hex characters";
        case Reject::TooShort: return "frame too short";
        case Reject::TooLong: return "frame too long";
        case Reject::Truncated: return "frame cut short by a new SOI";
        case Reject::BadLchksum: return "bad LCHKSUM";
        case Reject::LenidMismatch: return "LENID disagrees with INFO";
        case Reject::BadChksum: return "bad CHKSUM";
        case Reject::Unfinished: return "frame without EOI before the line fell silent";
    }
    return "unknown";
}

uint16_t length_field(uint16_t lenid) {
    lenid &= 0x0FFF;
    const unsigned sum = (lenid & 0xF) + ((lenid >> 4) & 0xF) + ((lenid >> 8) & 0xF);
    const unsigned lchk = (16 - (sum % 16)) % 16;
    return static_cast<uint16_t>(lchk << 12 | lenid);
}

FRAME_NO_COVERAGE uint16_t checksum(const unsigned char* chars, size_t n) {
    uint32_t sum = 0;
    for (size_t i = 0; i < n; ++i) sum += chars[i];
    return static_cast<uint16_t>((0x10000u - (sum & 0xFFFF)) & 0xFFFF);
}

std::vector<unsigned char> encode(uint8_t ver, uint8_t adr, uint8_t cid1, uint8_t cid2_or_rtn,
                                  const unsigned char* info, size_t info_len) {
    if (info_len > kMaxInfoBytes) throw std::length_error("frame INFO too long");
    if (info == nullptr && info_len != 0) throw std::invalid_argument("frame INFO missing");
    std::vector<unsigned char> out(2 + kHeaderChars + 2 * info_len + kChecksumChars);
    unsigned char* p = out.data();
    *p++ = SOI;
    p = put_hex(p, ver);
    p = put_hex(p, adr);
    p = put_hex(p, cid1);
    p = put_hex(p, cid2_or_rtn);
    const uint16_t length = length_field(static_cast<uint16_t>(2 * info_len));
    p = put_hex(p, static_cast<uint8_t>(length >> 8));
    p = put_hex(p, static_cast<uint8_t>(length & 0xFF));
    p = put_hex_run(p, info, info_len);
    const uint16_t chk = checksum(out.data() + 1, static_cast<size_t>(p - out.data()) - 1);
    p = put_hex(p, static_cast<uint8_t>(chk >> 8));
    p = put_hex(p, static_cast<uint8_t>(chk & 0xFF));
    *p = EOI;
    return out;
}

Receiver::Receiver() : body(new unsigned char[kMaxBodyChars]), chars(body.get()) { FRAME_POISON(chars, kMaxBodyChars); }

Receiver::~Receiver() { FRAME_UNPOISON(chars, kMaxBodyChars); }

void Receiver::clear_body() {
    if (body_len == 0) return;
    FRAME_POISON(chars, body_len);
    body_len = 0;
}

void Receiver::reset() {
    state = State::Hunting;
    clear_body();
}

void Receiver::abandon(RejectRef on_reject) {
    if (state == State::Body && on_reject) on_reject(Reject::Unfinished);
    reset();
}

void Receiver::begin_frame(uint64_t at) {
    state = State::Body;
    clear_body();
    start = at;
}

// One decision per event and state (a fuzzing build traces each of them).
void Receiver::feed(const unsigned char* data, size_t n, FrameRef on_frame, RejectRef on_reject) {
    const uint64_t base = fed;
    const bool report = static_cast<bool>(on_reject);
    size_t i = 0;
    while (i < n) {
        switch (state) {
            case State::Hunting: {
                const size_t soi = find_soi(data, i, n);
                garbage += soi - i;
                if (soi < n) begin_frame(base + soi);
                i = soi + 1;
                break;
            }
            case State::Body: {
                const size_t end = find_delimiter(data, i, n);
                if (end - i > kMaxBodyChars - body_len) {
                    // Reported now, whether EOI or a new SOI ends it; until
                    // then keep hunting, but never buffer more than a frame.
                    state = State::Overflowed;
                    clear_body();
                    if (report) on_reject(Reject::TooLong);
                    i = end;
                    break;
                }
                append_run(chars + body_len, data + i, end - i);
                body_len += end - i;
                if (end < n && data[end] == SOI) {
                    if (report) on_reject(Reject::Truncated);
                    begin_frame(base + end);
                } else if (end < n) {
                    finish(on_frame, on_reject);
                    reset();
                }
                i = end + 1;
                break;
            }
            case State::Overflowed: {
                const size_t end = find_delimiter(data, i, n);
                if (end < n && data[end] == SOI)
                    begin_frame(base + end);
                else if (end < n)
                    reset();
                i = end + 1;
                break;
            }
        }
    }
    fed = base + n;
}

void Receiver::finish(FrameRef on_frame, RejectRef on_reject) {
    auto reject = [&](Reject r) {
        if (on_reject) on_reject(r);
    };
    const unsigned char* b = chars;
    if (hex_marks(b, body_len) & kNotHex) return reject(Reject::NonHex);
    if (body_len % 2 != 0) return reject(Reject::OddLength);
    if (body_len < kHeaderChars + kChecksumChars) return reject(Reject::TooShort);

    const size_t chk_pos = body_len - kChecksumChars;
    const uint16_t length = static_cast<uint16_t>(byte_at(b, 8) << 8 | byte_at(b, 10));
    const uint16_t lenid = length & 0x0FFF;
    if (length_field(lenid) != length) return reject(Reject::BadLchksum);
    const size_t info_chars = chk_pos - kHeaderChars;
    if (lenid != info_chars) return reject(Reject::LenidMismatch);
    const uint16_t got_chk = static_cast<uint16_t>(byte_at(b, chk_pos) << 8 | byte_at(b, chk_pos + 2));
    if (checksum(b, chk_pos) != got_chk) return reject(Reject::BadChksum);

    const size_t info_bytes = info_chars / 2;
    std::vector<unsigned char> view(kViewInfo + info_bytes);
    view[kViewVer] = byte_at(b, 0);
    view[kViewAdr] = byte_at(b, 2);
    view[kViewCid1] = byte_at(b, 4);
    view[kViewRtn] = byte_at(b, 6);
    view[kViewLenLo] = static_cast<unsigned char>(lenid & 0xFF);
    view[kViewLenHi] = static_cast<unsigned char>(lenid >> 8);
    decode_hex(b + kHeaderChars, view.data() + kViewInfo, info_bytes);
    if (on_frame) on_frame(view);
}

}  // namespace frame
