#include "common/json_check.h"

#include <fmt/format.h>

namespace common {

namespace {

// Length of the valid UTF-8 sequence of two or more bytes at s[i], 0 if
// there is none; `cp` gets its code point.
size_t Utf8Sequence(std::string_view s, size_t i, uint32_t& cp) {
    const auto c = static_cast<unsigned char>(s[i]);
    size_t n = 0;
    if (c >= 0xC2 && c <= 0xDF) n = 2, cp = c & 0x1Fu;
    else if (c >= 0xE0 && c <= 0xEF) n = 3, cp = c & 0x0Fu;
    else if (c >= 0xF0 && c <= 0xF4) n = 4, cp = c & 0x07u;
    else return 0;
    if (i + n > s.size()) return 0;
    for (size_t k = 1; k < n; ++k) {
        const auto b = static_cast<unsigned char>(s[i + k]);
        if ((b & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (b & 0x3Fu);
    }
    const bool overlong = (n == 3 && cp < 0x800) || (n == 4 && cp < 0x10000);
    if (overlong || (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF) return 0;
    return n;
}

std::string EscapeText(std::string_view text, bool quoted) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c == '\\' || (quoted && c == '"')) {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c < 0x20 || c == 0x7F) {
            out += fmt::format("\\u{:04x}", c);
        } else if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (uint32_t cp = 0; size_t n = Utf8Sequence(text, i, cp)) {
            // C1 controls would drive a terminal as much as ESC does.
            if (cp < 0xA0) out += fmt::format("\\u{:04x}", cp);
            else out.append(text.substr(i, n));
            i += n - 1;
        } else {
            out += "\\ufffd";
        }
    }
    return out;
}

}  // namespace

std::string Escape(std::string_view text) { return EscapeText(text, false); }

std::string Shorten(std::string_view text, size_t max) {
    if (text.size() <= max) return std::string(text);
    size_t cut = max > 3 ? max - 3 : 0;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
    return std::string(text.substr(0, cut)) + "...";
}

std::string Quote(std::string_view text) { return "\"" + EscapeText(Shorten(text), true) + "\""; }

std::string Describe(const Json::Value& v) {
    switch (v.type()) {
    case Json::nullValue: return "null";
    case Json::objectValue: return "an object";
    case Json::arrayValue: return "an array";
    case Json::booleanValue: return v.asBool() ? "true" : "false";
    case Json::stringValue: return Quote(v.asString());
    case Json::intValue: return std::to_string(v.asLargestInt());
    case Json::uintValue: return std::to_string(v.asLargestUInt());
    case Json::realValue: break;
    }
    std::string s = fmt::format("{}", v.asDouble());
    // A number written with a point reads back with one.
    if (s.find_first_of(".eni") == std::string::npos) s += ".0";
    return s;
}

std::string Member(std::string_view path, std::string_view key) {
    // Longer than a text: a set path of the simulator is a key too.
    return path.empty() ? Shorten(key, 64) : std::string(path) + "." + Shorten(key, 64);
}

std::string Element(std::string_view path, size_t index) { return fmt::format("{}[{}]", path, index); }

JsonError::JsonError(std::string f, std::string p, std::string e, std::string fnd)
    : std::runtime_error(fmt::format("{}: {}: expected {}, found {}", Escape(f), p.empty() ? "(file)" : Escape(p), e,
                                     fnd)),
      file(std::move(f)),
      path(std::move(p)),
      expected(std::move(e)),
      found(std::move(fnd)) {}

}  // namespace common
