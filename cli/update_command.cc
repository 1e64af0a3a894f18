// `tessera-plus update` (the full update from the market-data service) and
// `tessera-plus smart-update` (extend whatever the bundle already holds).
#include <unistd.h>

#include <filesystem>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "cli/command.h"
#include "tessera_plus/base/errors.h"
#include "tessera_plus/base/run_report.h"
#include "tessera_plus/bundle/client/client_setup.h"
#include "tessera_plus/bundle/update/full_update.h"
#include "tessera_plus/bundle/update/run_summary.h"
#include "tessera_plus/bundle/update/smart_update.h"

namespace tessera_plus::cli {
namespace {

namespace fs = std::filesystem;

int default_concurrency() {
  unsigned cores = std::thread::hardware_concurrency();
  return cores == 0 ? 1 : static_cast<int>(cores);
}

// Refuses a root that cannot hold a bundle before anything is fetched or written.
void check_bundle_root(const std::string& root) {
  std::error_code ec;
  if (fs::exists(root, ec) && !fs::is_directory(root, ec)) {
    throw ArgumentError("the bundle root " + root + " is not a directory; pass -d a directory");
  }
  fs::path probe = root;
  while (!probe.empty() && !fs::exists(probe, ec)) probe = probe.parent_path();
  if (probe.empty()) probe = ".";
  if (::access(probe.c_str(), W_OK | X_OK) != 0) {
    throw ArgumentError("the bundle root " + root + " is not writable (" + probe.string() +
                        "); choose another -d or fix its permissions");
  }
}

CLI::Option* add_common(CLI::App* app, std::string& root, int& concurrency) {
  app->add_option("-d,--data-bundle-path", root, "the bundle root (holding bundle/)")
      ->capture_default_str();
  return app->add_option("-j,--concurrency", concurrency, "worker processes")
      ->capture_default_str()
      ->check(CLI::Range(1, 1024));
}

// How hard the client tries a service that fails now and then; unset flags keep the
// environment's (TALLOW_RETRY_ATTEMPTS, TALLOW_RETRY_MAX_WAIT_S, TALLOW_RATE_LIMIT) or defaults.
struct RetryOptions {
  std::optional<int> attempts;
  std::optional<double> max_wait_s;
  std::optional<double> rate_limit;
};

void add_retry_options(CLI::App* app, RetryOptions& r) {
  app->add_option("--retry-attempts", r.attempts,
                  "calls of one service request in all before giving up (default 5)")
      ->check(CLI::Range(1, 100));
  app->add_option("--retry-max-wait", r.max_wait_s,
                  "seconds one request may spend waiting between retries (default 30)")
      ->check(CLI::Range(0.0, 86400.0));
  app->add_option("--rate-limit", r.rate_limit,
                  "service requests per second for the whole run, all workers together "
                  "(default: no limit)")
      ->check(CLI::Range(0.0, 1e6));
}

tallow::RetryPolicy retry_policy(const RetryOptions& r) {
  tallow::RetryPolicy policy = tallow::RetryPolicy::from_environment();
  if (r.attempts) policy.attempts = *r.attempts;
  if (r.max_wait_s) policy.max_wait = std::chrono::milliseconds(std::int64_t(*r.max_wait_s * 1000));
  if (r.rate_limit) policy.requests_per_second = *r.rate_limit;
  return policy;
}

// Sets the client up, runs `update` with a run report shared by every worker, and ends with the
// summary. Anything that failed, reported through the result or the report, makes the status 1.
int run_reported(const RetryOptions& retry, bool enable_bjse, const std::function<bool()>& update) {
  tessera::publish_run_report(tessera::RunReport::create());
  bundle::install_client_source(retry_policy(retry));
  bundle::_init_tallow(enable_bjse);
  bool ok = update();
  tessera::RunTotals totals = tessera::run_totals();
  // A run asked to do nothing says nothing.
  if (!ok || totals.updated + totals.unchanged + totals.failed + totals.retries > 0) {
    std::cout.flush();
    bundle::print_run_summary(totals, std::cout);
  }
  return ok && totals.failed == 0 ? kExitOk : kExitFailed;
}

struct UpdateOptions {
  std::string root = default_bundle_root();
  int concurrency = default_concurrency();
  bool base = true;
  std::vector<std::string> minbar, tick;
  bool with_derivatives = false, rebuild = false, enable_bjse = false;
  RetryOptions retry;
};

Command setup_update(CLI::App& main) {
  auto o = std::make_shared<UpdateOptions>();
  CLI::App* app = main.add_subcommand(
      "update", "update base data, then the minute bars and ticks of the instruments named");
  add_common(app, o->root, o->concurrency);
  app->add_flag("--base,!--no-base", o->base, "update daily bars and base data (default: yes)");
  app->add_option("--minbar", o->minbar,
                  "minute-bar tags: stock, futures, fund, index, option, convertible, all, a "
                  "futures underlying symbol or an order book id");
  app->add_option("--tick", o->tick, "tick tags, as for --minbar");
  app->add_flag("--with-derivatives", o->with_derivatives,
                "also futures and options on the selected instruments");
  app->add_flag("--rebuild", o->rebuild, "rewrite the selected files from their first date");
  app->add_flag("--enable-bjse", o->enable_bjse, "include Beijing Stock Exchange stocks");
  add_retry_options(app, o->retry);
  return Command{app, [o] {
                   check_bundle_root(o->root);
                   return run_reported(o->retry, o->enable_bjse, [&] {
                     return bundle::update_bundle_from_tallow(
                         o->concurrency, o->root, o->base, o->minbar, o->tick, o->with_derivatives,
                         o->rebuild, o->enable_bjse);
                   });
                 }};
}

struct SmartOptions {
  std::string root = default_bundle_root();
  int concurrency = default_concurrency();
  RetryOptions retry;
};

Command setup_smart_update(CLI::App& main) {
  auto o = std::make_shared<SmartOptions>();
  CLI::App* app = main.add_subcommand(
      "smart-update", "update base data and extend every minute-bar and tick file present");
  add_common(app, o->root, o->concurrency);
  add_retry_options(app, o->retry);
  return Command{app, [o] {
                   check_bundle_root(o->root);
                   return run_reported(o->retry, false, [&] {
                     return bundle::update_bundle_from_exist_file(o->concurrency, o->root);
                   });
                 }};
}

const RegisterCommand reg_update{setup_update};
const RegisterCommand reg_smart{setup_smart_update};

}  // namespace
}  // namespace tessera_plus::cli
