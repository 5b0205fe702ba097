#include "common/cli_number.h"

#include <fmt/format.h>

namespace m520s::cli {

std::optional<uint64_t> whole_number(std::string_view text, uint64_t lo, uint64_t hi) {
    if (text.empty() || text.size() > 20) return std::nullopt;
    uint64_t v = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        const uint64_t digit = static_cast<uint64_t>(c - '0');
        if (v > (UINT64_MAX - digit) / 10) return std::nullopt;  // beyond any range
        v = v * 10 + digit;
    }
    if (v < lo || v > hi) return std::nullopt;
    return v;
}

std::string whole_number_refusal(std::string_view text, uint64_t lo, uint64_t hi) {
    // Shown as typed, but kept to one short line.
    std::string shown(text.substr(0, 40));
    if (text.size() > 40) shown += "...";
    for (auto& c : shown)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
    return fmt::format("expected a whole number from {} to {}, found \"{}\"", lo, hi, shown);
}

}  // namespace m520s::cli
