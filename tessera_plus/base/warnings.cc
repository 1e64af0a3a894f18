#include "tessera_plus/base/warnings.h"

#include <cstdio>
#include <string>

namespace tessera_plus {
namespace {

void print_warning(std::string_view text) {
  std::string line = "Warning: " + std::string(text) + "\n";
  std::fwrite(line.data(), 1, line.size(), stderr);
}

// The process's warning filter, like Python's warnings filters: the only state here, changed by
// the scopes above from the thread that runs the top-level operation.
WarningHandler& handler() {
  static WarningHandler current = print_warning;
  return current;
}

}  // namespace

void warn(std::string_view text) {
  if (handler()) handler()(text);
}

WarningHandler set_warning_handler(WarningHandler h) {
  WarningHandler previous = std::move(handler());
  handler() = std::move(h);
  return previous;
}

SuppressWarnings::SuppressWarnings() : previous_(set_warning_handler([](std::string_view) {})) {}

SuppressWarnings::~SuppressWarnings() { set_warning_handler(std::move(previous_)); }

}  // namespace tessera_plus
