#pragma once
// Wire codec of the controller's frame protocol. Pure byte work: nothing here
// knows about devices or polling.
//
// A frame, as it travels (here the device-information request, empty INFO):
//
//   ~  2 0  0 1  4 0  5 1  0 0 0 0  F D B 3  CR
//   |  VER  ADR  CID1 CID2 LENGTH   CHKSUM   EOI
//   SOI 0x7E
//
// Everything between SOI and EOI is ASCII hex, two characters a byte: requests
// are upper-case, received frames may be either case. In an answer the CID2 position carries RTN, the return code.
// LENGTH: low 12 bits LENID = number of INFO hex characters; high nibble
// LCHKSUM = -(sum of the three LENID nibbles) mod 16.
// CHKSUM: -(sum of the ASCII codes after SOI and before CHKSUM) mod 65536.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

namespace frame {

constexpr unsigned char SOI = 0x7E;
constexpr unsigned char EOI = 0x0D;
// LENID has 12 bits and must be even: at most 4094 INFO characters.
constexpr size_t kMaxInfoBytes = 2047;
// Hex characters between SOI and EOI: header, INFO, checksum.
constexpr size_t kHeaderChars = 12;
constexpr size_t kChecksumChars = 4;
constexpr size_t kMaxBodyChars = kHeaderChars + 2 * kMaxInfoBytes + kChecksumChars;

// Offsets in the received-frame view handed to the device.
constexpr size_t kViewVer = 0, kViewAdr = 1, kViewCid1 = 2, kViewRtn = 3, kViewLenLo = 4,
                 kViewLenHi = 5, kViewInfo = 6;

enum Rtn : uint8_t {
    RTN_OK = 0x00,
    RTN_VER_ERROR = 0x01,
    RTN_CHKSUM_ERROR = 0x02,
    RTN_LCHKSUM_ERROR = 0x03,
    RTN_INVALID_CID2 = 0x04,
    RTN_FORMAT_ERROR = 0x05,
    RTN_INVALID_DATA = 0x06,
};
const char* rtn_text(uint8_t rtn);

uint16_t length_field(uint16_t lenid);
uint16_t checksum(const unsigned char* chars, size_t n);

// Encodes one frame. The fourth byte is CID2 in a request and RTN in an answer.
// Throws std::length_error for INFO longer than kMaxInfoBytes and
// std::invalid_argument for a null INFO with a non-zero length.
std::vector<unsigned char> encode(uint8_t ver, uint8_t adr, uint8_t cid1, uint8_t cid2_or_rtn,
                                  const unsigned char* info, size_t info_len);

enum class Reject {
    NonHex,         // a character that is not hex
    OddLength,      // odd number of hex characters
    TooShort,       // fewer characters than header and checksum
    TooLong,        // no EOI within the longest possible frame
    Truncated,      // a new SOI arrived before EOI
    BadLchksum,     // LCHKSUM does not match LENID
    LenidMismatch,  // LENID disagrees with the INFO received
    BadChksum,      // CHKSUM does not match
    Unfinished,     // no EOI before the line fell silent (see abandon())
};
constexpr size_t kRejectReasons = 9;
const char* reject_text(Reject r);

// A callback as the receiver takes it: a reference to any callable (a
// lambda, a std::function, nothing), called without std::function's
// indirections. It does not own what it refers to: it lives for one call.
template <class Sig>
class FnRef;
template <class R, class... A>
class FnRef<R(A...)> {
public:
    FnRef() = default;
    FnRef(std::nullptr_t) {}
    FnRef(const std::function<R(A...)>& f) {
        if (f) bind(f);
    }
    template <class F, class D = std::decay_t<F>,
              class = std::enable_if_t<!std::is_same_v<D, FnRef> && !std::is_same_v<D, std::function<R(A...)>> &&
                                       !std::is_same_v<D, std::nullptr_t> && std::is_invocable_r_v<R, F&, A...>>>
    FnRef(F&& f) {
        bind(f);
    }
    explicit operator bool() const { return call != nullptr; }
    R operator()(A... a) const { return call(obj, std::forward<A>(a)...); }

private:
    template <class F>
    void bind(F& f) {
        obj = const_cast<void*>(static_cast<const void*>(std::addressof(f)));
        call = [](void* o, A... a) -> R { return (*static_cast<F*>(o))(std::forward<A>(a)...); };
    }
    void* obj = nullptr;
    R (*call)(void*, A...) = nullptr;
};

// Byte-at-a-time receiver: hunts for SOI, drops what lies between frames,
// reassembles frames split across reads and yields every frame of a read.
// Runs of bytes without a delimiter are scanned and copied in one go, so the
// cost per byte stays small whatever the read size.
class Receiver {
public:
    // view: VER, ADR, CID1, RTN, LENID low, LENID high, INFO bytes; sized exactly.
    using FrameFn = std::function<void(const std::vector<unsigned char>& view)>;
    using RejectFn = std::function<void(Reject)>;
    using FrameRef = FnRef<void(const std::vector<unsigned char>& view)>;
    using RejectRef = FnRef<void(Reject)>;

    Receiver();
    ~Receiver();
    Receiver(const Receiver&) = delete;
    Receiver& operator=(const Receiver&) = delete;

    void feed(const unsigned char* data, size_t n, FrameRef on_frame, RejectRef on_reject);
    void reset();
    // Bytes dropped while hunting for SOI since construction.
    size_t garbage_bytes() const { return garbage; }
    // A frame has begun and its EOI has not come yet.
    bool partial() const { return state != State::Hunting; }
    // Drops a partial frame whose end will not come (the caller judges that by
    // the time since the last byte): rejected as Unfinished, unless it was
    // already reported as too long.
    void abandon(RejectRef on_reject);
    // The characters between SOI and EOI of the frame being handed to
    // on_frame, as received; valid only during that call.
    std::span<const unsigned char> frame_chars() const { return {chars, body_len}; }
    // Bytes taken by feed() since construction (reset() does not restart it),
    // and where among them the SOI of the frame being handed to on_frame (or
    // of the partial frame) was: so a caller that numbers what it received can
    // tell when a frame began.
    uint64_t position() const { return fed; }
    uint64_t frame_start() const { return start; }

private:
    void begin_frame(uint64_t at);
    void clear_body();
    void finish(FrameRef on_frame, RejectRef on_reject);

    // Between frames; in a frame's body; in a frame already reported too
    // long, waiting for its end.
    enum class State : unsigned char { Hunting, Body, Overflowed };
    State state = State::Hunting;
    // Characters after SOI, EOI excluded: the longest frame's, allocated once.
    // Under AddressSanitizer the part not in use is poisoned, so a read past
    // body_len is a report as a read past a vector's size would be.
    std::unique_ptr<unsigned char[]> body;
    unsigned char* const chars;  // body.get(), without a call per event
    size_t body_len = 0;
    size_t garbage = 0;
    uint64_t fed = 0;
    uint64_t start = 0;
};

}  // namespace frame
