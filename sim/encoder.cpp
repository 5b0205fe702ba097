#include "sim/encoder.h"

#include <stdexcept>

namespace sim {

namespace {

constexpr char kHex[] = "0123456789ABCDEF";
// Header (VER ADR CID1 CID2 LENGTH) and CHKSUM, in hex characters.
constexpr size_t kHeaderChars = 12;
constexpr size_t kChksumChars = 4;
// Longest request text accepted before the decoder gives up on a frame.
constexpr size_t kMaxText = kHeaderChars + 2 * kMaxInfo + kChksumChars;

void put_hex(std::string& out, uint8_t b) {
    out.push_back(kHex[b >> 4]);
    out.push_back(kHex[b & 0x0F]);
}

int nibble(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

}  // namespace

uint16_t length_field(size_t info_len) {
    const unsigned lenid = static_cast<unsigned>(info_len * 2) & 0x0FFF;
    const unsigned sum = (lenid & 0xF) + ((lenid >> 4) & 0xF) + ((lenid >> 8) & 0xF);
    const unsigned lchk = (16 - sum % 16) % 16;
    return static_cast<uint16_t>(lchk << 12 | lenid);
}

uint16_t chksum_of(const uint8_t* text, size_t len) {
    uint32_t sum = 0;
    for (size_t i = 0; i < len; ++i) sum += text[i];
    return static_cast<uint16_t>(0x10000 - (sum & 0xFFFF));
}

std::string to_hex(const Bytes& bytes) {
    std::string out;
    out.reserve(bytes.size() * 2);
    for (uint8_t b : bytes) put_hex(out, b);
    return out;
}

std::optional<Bytes> from_hex(const std::string& text) {
    if (text.size() % 2) return std::nullopt;
    Bytes out;
    out.reserve(text.size() / 2);
    for (size_t i = 0; i < text.size(); i += 2) {
        const int hi = nibble(text[i]), lo = nibble(text[i + 1]);
        if (hi < 0 || lo < 0) return std::nullopt;
        out.push_back(static_cast<uint8_t>(hi << 4 | lo));
    }
    return out;
}

Bytes encode_frame(uint8_t ver, uint8_t adr, uint8_t cid1, uint8_t cid2, const Bytes& info, Damage damage) {
    if (info.size() > kMaxInfo) throw std::length_error("INFO longer than a frame can carry");
    uint16_t length = length_field(info.size());
    if (damage.lchksum) length = static_cast<uint16_t>(((length + 0x1000) & 0xF000) | (length & 0x0FFF));
    std::string text;
    text.reserve(kHeaderChars + info.size() * 2 + kChksumChars);
    for (uint8_t b : {ver, adr, cid1, cid2, static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length & 0xFF)})
        put_hex(text, b);
    text += to_hex(info);
    uint16_t chk = chksum_of(reinterpret_cast<const uint8_t*>(text.data()), text.size());
    if (damage.chksum) chk = static_cast<uint16_t>(chk + 1);
    put_hex(text, static_cast<uint8_t>(chk >> 8));
    put_hex(text, static_cast<uint8_t>(chk & 0xFF));
    Bytes out;
    out.reserve(text.size() + 2);
    out.push_back(kSoi);
    out.insert(out.end(), text.begin(), text.end());
    out.push_back(kEoi);
    return out;
}

std::optional<RequestDecoder::Result> RequestDecoder::feed(uint8_t byte) {
    if (byte == kSoi) {
        // An SOI inside a frame means the frame before it was cut short.
        if (in_frame) dropped_bytes += text.size() + 1;
        in_frame = true;
        text.clear();
        return std::nullopt;
    }
    if (!in_frame) {
        ++dropped_bytes;
        return std::nullopt;
    }
    if (byte == kEoi) {
        in_frame = false;
        Result r = decode();
        text.clear();
        return r;
    }
    text.push_back(static_cast<char>(byte));
    if (text.size() > kMaxText) {
        dropped_bytes += text.size() + 1;
        in_frame = false;
        text.clear();
    }
    return std::nullopt;
}

RequestDecoder::Result RequestDecoder::decode() const {
    Bytes raw;
    raw.reserve(text.size() + 2);
    raw.push_back(kSoi);
    raw.insert(raw.end(), text.begin(), text.end());
    raw.push_back(kEoi);

    Result r;
    auto bad = [&](Rtn rtn, std::string why, std::optional<uint8_t> ver, std::optional<uint8_t> adr) {
        r.bad = BadRequest{rtn, std::move(why), ver, adr, raw};
        return r;
    };
    // VER and ADR first: a frame for another address gets no answer at all.
    std::optional<uint8_t> ver, adr;
    if (text.size() >= 4) {
        if (auto h = from_hex(text.substr(0, 4))) {
            ver = (*h)[0];
            adr = (*h)[1];
        }
    }
    if (text.size() < kHeaderChars + kChksumChars) return bad(kRtnFormat, "frame too short", ver, adr);
    if (text.size() % 2) return bad(kRtnFormat, "odd number of hex characters", ver, adr);
    auto bytes = from_hex(text);
    if (!bytes) return bad(kRtnFormat, "non-hex character", ver, adr);
    const Bytes& b = *bytes;
    const size_t body = text.size() - kChksumChars;
    const uint16_t chk = static_cast<uint16_t>(b[b.size() - 2] << 8 | b[b.size() - 1]);
    if (chk != chksum_of(reinterpret_cast<const uint8_t*>(text.data()), body))
        return bad(kRtnChksum, "bad CHKSUM", ver, adr);
    const uint16_t length = static_cast<uint16_t>(b[4] << 8 | b[5]);
    const size_t lenid = length & 0x0FFF;
    const unsigned nibbles = (lenid & 0xF) + ((lenid >> 4) & 0xF) + ((lenid >> 8) & 0xF);
    if ((length >> 12) != (16 - nibbles % 16) % 16) return bad(kRtnLchksum, "bad LCHKSUM", ver, adr);
    if (lenid != body - kHeaderChars) return bad(kRtnFormat, "LENID disagrees with INFO", ver, adr);
    Request q;
    q.ver = b[0];
    q.adr = b[1];
    q.cid1 = b[2];
    q.cid2 = b[3];
    q.info.assign(b.begin() + 6, b.end() - 2);
    q.raw = std::move(raw);
    r.request = std::move(q);
    return r;
}

}  // namespace sim
