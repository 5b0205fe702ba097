#pragma once
// How much slower than a quiet native run this suite may be: under qemu-user
// or a sanitizer on a loaded machine several times. The few bounds a test
// cannot do without are multiplied by it; scripts/cross-test.sh and the
// sanitizer pass set M520S_TIME_SCALE.

#include <chrono>
#include <cstdlib>

inline double TimeScale() {
    const char* s = std::getenv("M520S_TIME_SCALE");
    const double v = s ? std::atof(s) : 1.0;
    return v >= 1.0 ? v : 1.0;
}

template <class Rep, class Period>
std::chrono::milliseconds Scaled(std::chrono::duration<Rep, Period> d) {
    return std::chrono::milliseconds(
        static_cast<long long>(std::chrono::duration<double, std::milli>(d).count() * TimeScale()));
}
