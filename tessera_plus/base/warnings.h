// The warnings channel. Library code reports non-fatal conditions through warn(); a
// SuppressWarnings scope discards them while it is open and restores the earlier handling when it
// closes, on every exit path.
#pragma once

#include <functional>
#include <string_view>

namespace tessera_plus {

using WarningHandler = std::function<void(std::string_view)>;

// Emits a warning through the current handler (by default: "Warning: <text>" on standard error).
void warn(std::string_view text);

// Replaces the handler and returns the previous one.
WarningHandler set_warning_handler(WarningHandler handler);

class SuppressWarnings {
 public:
  SuppressWarnings();
  ~SuppressWarnings();
  SuppressWarnings(const SuppressWarnings&) = delete;
  SuppressWarnings& operator=(const SuppressWarnings&) = delete;

 private:
  WarningHandler previous_;
};

}  // namespace tessera_plus
