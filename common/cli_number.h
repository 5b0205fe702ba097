#pragma once
// Whole numbers on a command line. A count, a duration in seconds or a baud
// rate is written in decimal digits and nothing else: no sign, fraction,
// exponent, "nan" or "inf", so that neither 1e17 nor 0.5 slips through a
// conversion, and a value out of its range is refused before anything runs.
// One line says what was expected and what was found:
//   --cycles: expected a whole number from 1 to 1000000000, found "0"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace m520s::cli {

// The value of text if it is a whole number from lo to hi.
std::optional<uint64_t> whole_number(std::string_view text, uint64_t lo, uint64_t hi);

// "expected a whole number from <lo> to <hi>, found "<text>"".
std::string whole_number_refusal(std::string_view text, uint64_t lo, uint64_t hi);

}  // namespace m520s::cli
