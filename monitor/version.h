#pragma once
// This program's version, for --version and what it tells Home Assistant.

#ifndef M520S_VERSION
#define M520S_VERSION "0.1.0"
#endif

namespace monitor {
inline constexpr const char* kVersion = M520S_VERSION;
}
