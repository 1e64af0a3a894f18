#include "cli/option_checks.h"

#include <cmath>
#include <cstdlib>
#include <limits>
#include <string>

#include <fmt/format.h>

namespace tessera_plus::cli {
namespace {

// 86400 rather than 86400.000000, 1000000 rather than 1e+06.
std::string plain(double value) {
  if (std::abs(value) < 1e15 && value == std::floor(value)) {
    return fmt::format("{}", static_cast<std::int64_t>(value));
  }
  return fmt::format("{}", value);
}

// The whole text as a finite number, or NaN when it is none (strtod takes "nan", "inf", hex).
double finite_number(const std::string& text) {
  const bool plain_text =
      !text.empty() && text.find_first_not_of("0123456789.eE+-") == std::string::npos;
  if (!plain_text) return std::nan("");
  char* end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  return *end == '\0' && std::isfinite(value) ? value : std::nan("");
}

CLI::Validator checked(std::string range, double minimum, double maximum, bool whole) {
  return CLI::Validator(
      [=](std::string& text) -> std::string {
        const double value = finite_number(text);
        const bool fits = !std::isnan(value) && value >= minimum && value <= maximum &&
                          (!whole || value == std::floor(value));
        return fits ? "" : fmt::format("'{}' is not {}", text, range);
      },
      range, "");
}

}  // namespace

CLI::Validator number_from(double minimum, double maximum) {
  return checked(fmt::format("a number from {} to {}", plain(minimum), plain(maximum)), minimum,
                 maximum, false);
}

CLI::Validator whole_from(std::int64_t minimum, std::int64_t maximum) {
  return checked(fmt::format("a whole number from {} to {}", minimum, maximum),
                 static_cast<double>(minimum), static_cast<double>(maximum), true);
}

CLI::Validator whole_at_least(std::int64_t minimum) {
  // Just under 2^63, so that the value the check lets through converts to a 64-bit count.
  return checked(fmt::format("a whole number of {} or more", minimum), static_cast<double>(minimum),
                 9.2e18, true);
}

}  // namespace tessera_plus::cli
