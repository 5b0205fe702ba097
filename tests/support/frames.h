#pragma once
// Answer frames for tests, built with the host's codec.

#include <initializer_list>
#include <vector>

#include "host/frame.h"

namespace testing_support {

inline std::vector<unsigned char> answer(unsigned char cid1, const std::vector<unsigned char>& info,
                                         unsigned char rtn = 0, unsigned char ver = 0x20,
                                         unsigned char adr = 1) {
    return frame::encode(ver, adr, cid1, rtn, info.data(), info.size());
}

using Bytes = std::vector<unsigned char>;

// Appends through reserve and push_back: GCC 12 at -O3 takes the moved-from
// range of insert()'s reallocation for an out-of-bounds copy (-Warray-bounds).
inline void put(Bytes& out, const Bytes& more) {
    out.reserve(out.size() + more.size());
    for (unsigned char b : more) out.push_back(b);
}

// Little-endian bytes of a float, as on the wire.
inline std::vector<unsigned char> f32(float v) {
    unsigned char b[4];
    static_assert(sizeof(float) == 4);
    __builtin_memcpy(b, &v, 4);
    return {b[0], b[1], b[2], b[3]};
}

}  // namespace testing_support
