// The checks of the numeric options, in one place so that every command refuses the same things
// in the same words: a value that is not a finite number (nan, inf, 1e999), a fraction where a
// count is asked for, or a value out of range, named with the range as a person writes it
// ("a number from 0 to 86400", "a whole number from 1 to 1024", "a whole number of 1 or more").
#pragma once

#include <CLI/CLI.hpp>

#include <cstdint>

namespace tessera_plus::cli {

// A finite number from `minimum` to `maximum`, both included.
CLI::Validator number_from(double minimum, double maximum);
// A whole number from `minimum` to `maximum`, both included.
CLI::Validator whole_from(std::int64_t minimum, std::int64_t maximum);
// A whole number of `minimum` or more that fits 64 bits.
CLI::Validator whole_at_least(std::int64_t minimum);

}  // namespace tessera_plus::cli
