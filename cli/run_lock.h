// The bundle's run lock as the writing commands take it: their --wait option, and the one line on
// standard error and exit status 1 when another run holds the bundle past it.
#pragma once

#include <CLI/CLI.hpp>

#include <optional>
#include <string>

#include "tessera_plus/base/errors.h"
#include "tessera_plus/bundle/store/bundle_lock.h"

namespace tessera_plus::cli {

// Adds --wait SECONDS (default 0: do not wait) to a command that writes the bundle.
void add_wait_option(CLI::App* app, double& seconds);

// The program ends with status 1 because another run holds the bundle; `what()` names the holder,
// for the error line that ends the run.
class BundleBusy : public ExitRequest {
 public:
  explicit BundleBusy(std::string line) : ExitRequest(1), line_(std::move(line)) {}
  const char* what() const noexcept override { return line_.c_str(); }

 private:
  std::string line_;
};

// Takes the run lock of the bundle under `root` (see bundle::lock_bundle), saying on standard
// output when it waits. Still held after `wait_seconds`: throws BundleBusy.
std::optional<bundle::BundleLock> lock_bundle_or_exit(const std::string& root, double wait_seconds,
                                                      bundle::MissingBundle missing);

}  // namespace tessera_plus::cli
