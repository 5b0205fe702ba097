#include "monitor/sinks/terminal_text.h"

#include <cstdint>

namespace monitor {

namespace {

uint32_t next_cp(const std::string& s, size_t& i) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    int extra = c < 0x80 ? 0 : (c >> 5) == 6 ? 1 : (c >> 4) == 14 ? 2 : (c >> 3) == 30 ? 3 : 0;
    uint32_t cp = extra == 0 ? c : extra == 1 ? (c & 0x1F) : extra == 2 ? (c & 0x0F) : (c & 0x07);
    ++i;
    for (; extra > 0 && i < s.size(); --extra, ++i) cp = cp << 6 | (static_cast<unsigned char>(s[i]) & 0x3F);
    return cp;
}

size_t cp_width(uint32_t cp) {
    const bool wide = (cp >= 0x1100 && cp <= 0x115F) || (cp >= 0x2E80 && cp <= 0xA4CF) ||
                      (cp >= 0xAC00 && cp <= 0xD7A3) || (cp >= 0xF900 && cp <= 0xFAFF) ||
                      (cp >= 0xFE30 && cp <= 0xFE4F) || (cp >= 0xFF00 && cp <= 0xFF60) ||
                      (cp >= 0xFFE0 && cp <= 0xFFE6);
    return wide ? 2 : 1;
}

// Passes an escape sequence at i; true when there was one.
bool skip_escape(const std::string& s, size_t& i) {
    if (s[i] != '\x1b') return false;
    while (i < s.size() && s[i] != 'm') ++i;
    ++i;
    return true;
}

}  // namespace

size_t DisplayWidth(const std::string& s) {
    size_t w = 0;
    for (size_t i = 0; i < s.size();) w += cp_width(next_cp(s, i));
    return w;
}

std::string FitWidth(const std::string& s, size_t width) {
    std::string out;
    size_t w = 0;
    for (size_t i = 0; i < s.size();) {
        const size_t start = i;
        const size_t cw = cp_width(next_cp(s, i));
        if (w + cw > width) break;
        w += cw;
        out += s.substr(start, i - start);
    }
    return out;
}

size_t VisibleWidth(const std::string& s) {
    size_t w = 0;
    for (size_t i = 0; i < s.size();)
        if (!skip_escape(s, i)) w += cp_width(next_cp(s, i));
    return w;
}

std::string FitStyled(const std::string& s, size_t width) {
    std::string out;
    size_t w = 0;
    bool styled = false;
    for (size_t i = 0; i < s.size();) {
        const size_t start = i;
        if (skip_escape(s, i)) {
            out += s.substr(start, i - start);
            styled = true;
            continue;
        }
        const size_t cw = cp_width(next_cp(s, i));
        if (w + cw > width) break;
        w += cw;
        out += s.substr(start, i - start);
    }
    if (styled) out += "\x1b[0m";
    return out;
}

std::string Pad(const std::string& s, size_t width) {
    const size_t w = DisplayWidth(s);
    return w >= width ? s : s + std::string(width - w, ' ');
}

std::string RightAlign(const std::string& s, size_t width) {
    const size_t w = DisplayWidth(s);
    return w >= width ? s : std::string(width - w, ' ') + s;
}

}  // namespace monitor
