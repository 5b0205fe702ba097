#pragma once
// Text for a terminal: widths in columns (CJK characters take two), lines cut
// to a width without breaking a character or an escape sequence.

#include <cstddef>
#include <string>

namespace monitor {

// Terminal columns a UTF-8 text takes.
size_t DisplayWidth(const std::string& s);
// s cut to at most width columns, never inside a character.
std::string FitWidth(const std::string& s, size_t width);
// The width of a line that may hold SGR escape sequences, and such a line
// cut to width, its sequences kept.
size_t VisibleWidth(const std::string& s);
std::string FitStyled(const std::string& s, size_t width);
// s padded with spaces to width columns, on the right or (RightAlign) the left.
std::string Pad(const std::string& s, size_t width);
std::string RightAlign(const std::string& s, size_t width);

// Colours only where the text must stand out.
struct Style {
    bool on;
    std::string operator()(const char* code, const std::string& s) const {
        return on ? std::string("\x1b[") + code + "m" + s + "\x1b[0m" : s;
    }
};

}  // namespace monitor
