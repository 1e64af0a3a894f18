#include "cli/run_lock.h"

#include <chrono>
#include <iostream>

#include "cli/option_checks.h"
#include "tessera_plus/base/console.h"

namespace tessera_plus::cli {

void add_wait_option(CLI::App* app, double& seconds) {
  app->add_option("--wait", seconds,
                  "seconds to wait while another run holds the bundle (default 0: exit 1 at once "
                  "with a line naming it)")
      ->check(number_from(0, 1e7));
}

std::optional<bundle::BundleLock> lock_bundle_or_exit(const std::string& root, double wait_seconds,
                                                      bundle::MissingBundle missing) {
  const auto wait = std::chrono::milliseconds(static_cast<std::int64_t>(wait_seconds * 1000));
  try {
    // Waiting is no news for a quiet run; the holder line, if the wait ends without the lock, is.
    return bundle::lock_bundle(root, wait, missing, console_quiet() ? nullptr : &std::cout);
  } catch (const BlockingIOError& e) {
    throw BundleBusy(e.what());
  }
}

}  // namespace tessera_plus::cli
