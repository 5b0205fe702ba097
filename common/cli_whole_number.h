#pragma once
// The whole-number check as a CLI11 validator, apart from cli_number.h so
// that what only reads numbers does not compile CLI11.

#include <CLI/CLI.hpp>

#include <string>

#include "common/cli_number.h"

namespace m520s::cli {

// A CLI11 check for an option: CLI11 puts the option's name in front
// ("--cycles: expected ...").
inline ::CLI::Validator WholeNumber(uint64_t lo, uint64_t hi) {
    return ::CLI::Validator(
        [lo, hi](std::string& text) { return whole_number(text, lo, hi) ? std::string() : whole_number_refusal(text, lo, hi); },
        "UINT:" + std::to_string(lo) + ".." + std::to_string(hi));
}

}  // namespace m520s::cli
