#pragma once
// How much slower than a plain native run this one may be (sanitizers,
// qemu-user, a loaded machine): M520S_TIME_SCALE, a float, default 1. Tests
// that cannot avoid a time bound multiply it by this.

#include <cstdlib>

inline double TimeScale() {
    const char* s = std::getenv("M520S_TIME_SCALE");
    const double v = s ? std::atof(s) : 1.0;
    return v > 0 ? v : 1.0;
}
