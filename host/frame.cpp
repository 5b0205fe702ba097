#include "host/frame.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <stdexcept>

namespace frame {

namespace {
constexpr char kHex[] = "0123456789ABCDEF";
constexpr unsigned char kNotHex = 0x10;

// Value of each character as a hex digit, kNotHex for the rest. Some
// controllers answer in lower case; the checksum covers the characters as
// they came, so nothing else changes.
constexpr std::array<unsigned char, 256> hex_table() {
    std::array<unsigned char, 256> t{};
    for (auto& v : t) v = kNotHex;
    for (int c = '0'; c <= '9'; ++c) t[static_cast<size_t>(c)] = static_cast<unsigned char>(c - '0');
    for (int c = 'A'; c <= 'F'; ++c) t[static_cast<size_t>(c)] = static_cast<unsigned char>(c - 'A' + 10);
    for (int c = 'a'; c <= 'f'; ++c) t[static_cast<size_t>(c)] = static_cast<unsigned char>(c - 'a' + 10);
    return t;
}
constexpr std::array<unsigned char, 256> kHexValue = hex_table();

unsigned char* put_hex(unsigned char* out, uint8_t b) {
    out[0] = static_cast<unsigned char>(kHex[b >> 4]);
    out[1] = static_cast<unsigned char>(kHex[b & 0x0F]);
    return out + 2;
}

// Characters at [i, i+2) of an all-hex body as one byte.
uint8_t byte_at(const std::vector<unsigned char>& body, size_t i) {
    return static_cast<uint8_t>(kHexValue[body[i]] << 4 | kHexValue[body[i + 1]]);
}

// Index of the first c in data[from, n), or n.
size_t find_byte(const unsigned char* data, size_t from, size_t n, unsigned char c) {
    const void* p = std::memchr(data + from, c, n - from);
    return p ? static_cast<size_t>(static_cast<const unsigned char*>(p) - data) : n;
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

uint16_t checksum(const unsigned char* chars, size_t n) {
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
    for (size_t i = 0; i < info_len; ++i) p = put_hex(p, info[i]);
    const uint16_t chk = checksum(out.data() + 1, static_cast<size_t>(p - out.data()) - 1);
    p = put_hex(p, static_cast<uint8_t>(chk >> 8));
    p = put_hex(p, static_cast<uint8_t>(chk & 0xFF));
    *p = EOI;
    return out;
}

void Receiver::reset() {
    in_frame = false;
    overflowed = false;
    body.clear();
}

void Receiver::abandon(const RejectFn& on_reject) {
    if (in_frame && !overflowed && on_reject) on_reject(Reject::Unfinished);
    reset();
}

void Receiver::begin_frame(uint64_t at) {
    in_frame = true;
    overflowed = false;
    body.clear();
    start = at;
}

void Receiver::feed(const unsigned char* data, size_t n, const FrameFn& on_frame,
                    const RejectFn& on_reject) {
    const uint64_t base = fed;
    // The next SOI and EOI at or after i (n: none in this read); each is
    // looked for again only once passed, so no byte is scanned twice for it.
    size_t next_soi = 0, next_eoi = 0;
    bool soi_known = false, eoi_known = false;
    size_t i = 0;
    while (i < n) {
        if (!soi_known || next_soi < i) {
            next_soi = find_byte(data, i, n, SOI);
            soi_known = true;
        }
        if (!in_frame) {
            garbage += next_soi - i;
            if (next_soi == n) break;
            begin_frame(base + next_soi);
            i = next_soi + 1;
            continue;
        }
        if (!eoi_known || next_eoi < i) {
            next_eoi = find_byte(data, i, n, EOI);
            eoi_known = true;
        }
        const size_t end = std::min(next_soi, next_eoi);
        if (!overflowed) {
            if (end - i > kMaxBodyChars - body.size()) {
                // Reported now, whether EOI or a new SOI ends it; until then
                // keep hunting, but never buffer more than a frame.
                overflowed = true;
                body.clear();
                if (on_reject) on_reject(Reject::TooLong);
            } else {
                body.insert(body.end(), data + i, data + end);
            }
        }
        if (end == n) break;
        if (data[end] == SOI) {
            // An overlong frame has been reported already.
            if (!overflowed && on_reject) on_reject(Reject::Truncated);
            begin_frame(base + end);
        } else {
            if (!overflowed) finish(on_frame, on_reject);
            reset();
        }
        i = end + 1;
    }
    fed = base + n;
}

void Receiver::finish(const FrameFn& on_frame, const RejectFn& on_reject) {
    auto reject = [&](Reject r) {
        if (on_reject) on_reject(r);
    };
    unsigned char marks = 0;
    for (unsigned char c : body) marks |= kHexValue[c];
    if (marks & kNotHex) return reject(Reject::NonHex);
    if (body.size() % 2 != 0) return reject(Reject::OddLength);
    if (body.size() < kHeaderChars + kChecksumChars) return reject(Reject::TooShort);

    const size_t chk_pos = body.size() - kChecksumChars;
    const uint16_t length = static_cast<uint16_t>(byte_at(body, 8) << 8 | byte_at(body, 10));
    const uint16_t lenid = length & 0x0FFF;
    if (length_field(lenid) != length) return reject(Reject::BadLchksum);
    const size_t info_chars = chk_pos - kHeaderChars;
    if (lenid != info_chars) return reject(Reject::LenidMismatch);
    const uint16_t got_chk = static_cast<uint16_t>(byte_at(body, chk_pos) << 8 | byte_at(body, chk_pos + 2));
    if (checksum(body.data(), chk_pos) != got_chk) return reject(Reject::BadChksum);

    const size_t info_bytes = info_chars / 2;
    std::vector<unsigned char> view(kViewInfo + info_bytes);
    view[kViewVer] = byte_at(body, 0);
    view[kViewAdr] = byte_at(body, 2);
    view[kViewCid1] = byte_at(body, 4);
    view[kViewRtn] = byte_at(body, 6);
    view[kViewLenLo] = static_cast<unsigned char>(lenid & 0xFF);
    view[kViewLenHi] = static_cast<unsigned char>(lenid >> 8);
    for (size_t k = 0; k < info_bytes; ++k) view[kViewInfo + k] = byte_at(body, kHeaderChars + 2 * k);
    if (on_frame) on_frame(view);
}

}  // namespace frame
