#include "host/frame.h"

#include <stdexcept>

namespace frame {

namespace {
constexpr char kHex[] = "0123456789ABCDEF";

int hex_value(unsigned char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    // Some controllers answer in lower case; the checksum covers the
    // characters as they came, so nothing else changes.
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

void put_hex(std::vector<unsigned char>& out, uint8_t b) {
    out.push_back(static_cast<unsigned char>(kHex[b >> 4]));
    out.push_back(static_cast<unsigned char>(kHex[b & 0x0F]));
}

// Characters at [i, i+2) of an all-hex body as one byte.
uint8_t byte_at(const std::vector<unsigned char>& body, size_t i) {
    return static_cast<uint8_t>(hex_value(body[i]) << 4 | hex_value(body[i + 1]));
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
    std::vector<unsigned char> out;
    out.reserve(2 + kHeaderChars + 2 * info_len + kChecksumChars);
    out.push_back(SOI);
    put_hex(out, ver);
    put_hex(out, adr);
    put_hex(out, cid1);
    put_hex(out, cid2_or_rtn);
    const uint16_t length = length_field(static_cast<uint16_t>(2 * info_len));
    put_hex(out, static_cast<uint8_t>(length >> 8));
    put_hex(out, static_cast<uint8_t>(length & 0xFF));
    for (size_t i = 0; i < info_len; ++i) put_hex(out, info[i]);
    const uint16_t chk = checksum(out.data() + 1, out.size() - 1);
    put_hex(out, static_cast<uint8_t>(chk >> 8));
    put_hex(out, static_cast<uint8_t>(chk & 0xFF));
    out.push_back(EOI);
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

void Receiver::feed(const unsigned char* data, size_t n, const FrameFn& on_frame,
                    const RejectFn& on_reject) {
    for (size_t i = 0; i < n; ++i) {
        const unsigned char c = data[i];
        if (c == SOI) {
            // An overlong frame has been reported already.
            if (in_frame && !overflowed && on_reject) on_reject(Reject::Truncated);
            in_frame = true;
            overflowed = false;
            body.clear();
            continue;
        }
        if (!in_frame) {
            ++garbage;
            continue;
        }
        if (c == EOI) {
            if (!overflowed) finish(on_frame, on_reject);
            reset();
            continue;
        }
        if (overflowed) continue;
        if (body.size() >= kMaxBodyChars) {
            // Reported now, whether EOI or a new SOI ends it; until then keep
            // hunting, but never buffer more than a frame.
            overflowed = true;
            body.clear();
            if (on_reject) on_reject(Reject::TooLong);
            continue;
        }
        body.push_back(c);
    }
}

void Receiver::finish(const FrameFn& on_frame, const RejectFn& on_reject) {
    auto reject = [&](Reject r) {
        if (on_reject) on_reject(r);
    };
    for (unsigned char c : body)
        if (hex_value(c) < 0) return reject(Reject::NonHex);
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
