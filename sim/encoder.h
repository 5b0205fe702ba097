#pragma once
// The simulated controller's side of the frame format: it encodes answers and
// decodes requests with code of its own, so that a fault in the host's codec
// and one here show up as a disagreement instead of cancelling out.
//
// An answer for VER 0x20, ADR 0x01, CID1 0x40, RTN 0x00, INFO FF reads
//   ~ 20 01 40 00 E002 FF FD16 CR
// SOI, upper-case hex of VER ADR CID1 RTN, LENGTH (LCHKSUM nibble, 12-bit
// count of INFO hex characters), INFO, CHKSUM (negated sum of the ASCII
// codes between SOI and CHKSUM), EOI.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace sim {

using Bytes = std::vector<uint8_t>;

constexpr uint8_t kSoi = 0x7E;
constexpr uint8_t kEoi = 0x0D;
// LENID has 12 bits and counts hex characters.
constexpr size_t kMaxInfo = 0xFFF / 2;

// Return codes of an answer.
enum Rtn : uint8_t {
    kRtnOk = 0x00,
    kRtnVer = 0x01,
    kRtnChksum = 0x02,
    kRtnLchksum = 0x03,
    kRtnCid2 = 0x04,
    kRtnFormat = 0x05,
    kRtnData = 0x06,
};

// Deliberate damage to an encoded frame, for fault injection.
struct Damage {
    bool chksum = false;   // CHKSUM off by one
    bool lchksum = false;  // LCHKSUM nibble off by one, CHKSUM still matching the text
};

uint16_t length_field(size_t info_len);
uint16_t chksum_of(const uint8_t* text, size_t len);

// A whole frame: SOI ... EOI. Throws std::length_error for INFO beyond kMaxInfo.
Bytes encode_frame(uint8_t ver, uint8_t adr, uint8_t cid1, uint8_t cid2, const Bytes& info, Damage damage = {});

struct Request {
    uint8_t ver = 0, adr = 0, cid1 = 0, cid2 = 0;
    Bytes info;
    Bytes raw;  // the frame as received, SOI to EOI
};

// Why a request frame was refused; the return code a controller answers with.
struct BadRequest {
    Rtn rtn;
    std::string reason;
    // Known when the header could be read; a frame for another address gets no answer.
    std::optional<uint8_t> ver, adr;
    Bytes raw;
};

// Byte-at-a-time request decoder: hunts for SOI, drops what lies between
// frames, restarts at an SOI inside a frame, and bounds a frame's length.
class RequestDecoder {
public:
    struct Result {
        std::optional<Request> request;
        std::optional<BadRequest> bad;
    };

    // Feeds one byte; a result is returned when it completes a frame.
    std::optional<Result> feed(uint8_t byte);
    // Bytes dropped outside frames (and frames cut short by an SOI or by length).
    uint64_t dropped() const { return dropped_bytes; }
    // Bytes of the frame being assembled, 0 when hunting.
    size_t pending() const { return in_frame ? text.size() + 1 : 0; }

private:
    Result decode() const;

    bool in_frame = false;
    std::string text;  // characters after SOI
    uint64_t dropped_bytes = 0;
};

std::string to_hex(const Bytes& bytes);
std::optional<Bytes> from_hex(const std::string& text);

}  // namespace sim
