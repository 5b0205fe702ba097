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

inline void put(Bytes& out, const Bytes& more) { out.insert(out.end(), more.begin(), more.end()); }

// Little-endian bytes of a float, as on the wire.
inline std::vector<unsigned char> f32(float v) {
    unsigned char b[4];
    static_assert(sizeof(float) == 4);
    __builtin_memcpy(b, &v, 4);
    return {b[0], b[1], b[2], b[3]};
}

}  // namespace testing_support
