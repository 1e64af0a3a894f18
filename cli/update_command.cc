// `tessera-plus update` (the full update from the market-data service) and
// `tessera-plus smart-update` (extend whatever the bundle already holds).
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <iostream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <fmt/format.h>

#include "cli/bundle_dir.h"
#include "cli/command.h"
#include "cli/help_text.h"
#include "cli/option_checks.h"
#include "cli/reports.h"
#include "cli/run_lock.h"
#include "cli/stop_signals.h"
#include "tessera_plus/base/console.h"
#include "tessera_plus/base/errors.h"
#include "tessera_plus/base/interrupted.h"
#include "tessera_plus/base/logger.h"
#include "tessera_plus/base/publish.h"
#include "tessera_plus/base/run_report.h"
#include "tessera_plus/bundle/client/client_setup.h"
#include "tessera_plus/bundle/update/full_update.h"
#include "tessera_plus/bundle/update/run_summary.h"
#include "tessera_plus/bundle/update/smart_update.h"
#include "tessera_plus/bundle/update/update_plan.h"
#include "tessera_plus/market/client.h"

namespace tessera_plus::cli {
namespace {

namespace fs = std::filesystem;

int default_concurrency() {
  unsigned cores = std::thread::hardware_concurrency();
  return cores == 0 ? 1 : static_cast<int>(cores);
}

// Refuses a root that cannot hold a bundle before anything is fetched or written.
void check_bundle_root(const std::string& root) {
  require_root_not_a_file(root);
  require_creatable_root(root);
  std::error_code ec;
  fs::path probe = root;
  while (!probe.empty() && !fs::exists(probe, ec)) probe = probe.parent_path();
  if (probe.empty()) probe = ".";
  // Not bad usage: the same command works once the permissions are fixed.
  if (::access(probe.c_str(), W_OK | X_OK) != 0) {
    throw PermissionError(EACCES, "the bundle root " + root + " is not writable (" +
                                      probe.string() +
                                      "); choose another -d or fix its permissions");
  }
  require_writable_bundle(root);
  warn_of_unwritable_files(root);
}

// How hard the client tries a service that fails now and then, and how many requests it keeps
// waiting at once; unset flags keep the environment's (TALLOW_RETRY_ATTEMPTS,
// TALLOW_RETRY_MAX_WAIT_S, TALLOW_RATE_LIMIT, TALLOW_REQUESTS) or defaults.
struct RetryOptions {
  std::optional<int> attempts;
  std::optional<double> max_wait_s;
  std::optional<double> rate_limit;
  std::optional<int> requests;
};

void add_retry_options(CLI::App* app, RetryOptions& r) {
  app->add_option("--retry-attempts", r.attempts,
                  "calls of one service request in all before giving up (default 5)")
      ->check(whole_from(1, 100));
  app->add_option("--retry-max-wait", r.max_wait_s,
                  "seconds one request may spend waiting between retries (default 30)")
      ->check(number_from(0, 86400));
  app->add_option("--rate-limit", r.rate_limit,
                  "service requests per second for the whole run, all workers together "
                  "(default: no limit)")
      ->check(number_from(0, 1e6));
  app->add_option("--requests", r.requests,
                  fmt::format("service requests waiting for answers at once, all workers "
                              "together (default {}): what hides the service's latency, while "
                              "--jobs is how many files are compressed and written at once",
                              tallow::kDefaultRequestsInFlight))
      ->check(whole_from(1, tallow::kMaxRequestsInFlight));
}

tallow::RetryPolicy retry_policy(const RetryOptions& r) {
  tallow::RetryPolicy policy = tallow::RetryPolicy::from_environment();
  if (r.attempts) policy.attempts = *r.attempts;
  if (r.max_wait_s) policy.max_wait = std::chrono::milliseconds(std::int64_t(*r.max_wait_s * 1000));
  if (r.rate_limit) policy.requests_per_second = *r.rate_limit;
  if (r.requests) policy.requests_in_flight = *r.requests;
  return policy;
}

// What every run shares: where the bundle is, how hard to retry, where the JSON summary goes.
struct RunOptions {
  std::string root = default_bundle_root();
  int concurrency = default_concurrency();
  RetryOptions retry;
  std::string report_path;  // empty: no JSON summary
  double wait_seconds = 0;  // for another run's lock on the bundle
  double lock_wait_seconds = static_cast<double>(bundle::kDefaultLockWait.count());
  int recheck_days = bundle::kDefaultRecheckDays;
  bool dry_run = false;
};

// `examples` end the command's --help, after its exit statuses and before its environment.
void add_common(CLI::App* app, RunOptions& o, std::vector<std::string> examples) {
  app->add_option("-d,--data-bundle-path", o.root, "the bundle root (holding bundle/)")
      ->capture_default_str();
  app->add_option("-j,--jobs,--concurrency", o.concurrency, "worker processes")
      ->capture_default_str()
      ->check(whole_from(1, kMaxJobs));
  add_retry_options(app, o.retry);
  add_wait_option(app, o.wait_seconds);
  app->add_option("--report", o.report_path,
                  "also write a JSON summary of the run to this file (replaced whole)");
  app->add_option("--lock-wait", o.lock_wait_seconds,
                  "seconds to wait for minute-bar and tick files that readers hold open; those "
                  "still held are tried once more at the end before they count as failed")
      ->capture_default_str()
      ->check(number_from(0, 86400));
  app->add_option("--recheck-days", o.recheck_days,
                  "stored trading days of each file fetched again with its new days (in the same "
                  "service call) and written again when the service has since revised them or "
                  "stored them short; 0 only appends. A weekly run may pass a longer window")
      ->capture_default_str()
      ->check(whole_from(0, bundle::kMaxRecheckDays));
  app->add_flag("--dry-run", o.dry_run,
                "print what the run would do (base data refreshed; files to create, extend, "
                "repair or rebuild; dates; estimated rows) and write nothing: no bundle file, no "
                "lock; the service is asked for instruments and trading days. With --report the "
                "plan goes there as JSON");
  app->footer(render_footer(
      {.statuses =
           "0 on success (and when the user declines a rebuild or lacks the Beijing-exchange "
           "permission); 1 when an instrument failed, a tag selected no instrument, the bundle or "
           "the --report directory is not writable, another run held the bundle or an error "
           "stopped the run; 2 on bad usage (also a bad value in the environment, a root whose "
           "parent does not exist, a --report directory that does not exist, or no -d without "
           "HOME or TESSERA_BUNDLE_ROOT); 130, 143 or 129 when SIGINT, SIGTERM or SIGHUP stopped "
           "it (the files not reached are unchanged; run again to go on). Errors are one line on "
           "standard error and in the log.",
       .examples = std::move(examples),
       .environment = environment_lines({"TESSERA_BUNDLE_ROOT", "TESSERA_NOW", "TESSERA_LOG_FILE",
                                         "TESSERA_LOG_LEVEL", "TESSERA_PROGRESS", "TALLOW_SOURCE",
                                         "TALLOW_RETRY_ATTEMPTS, TALLOW_RETRY_MAX_WAIT_S, "
                                         "TALLOW_RATE_LIMIT, TALLOW_REQUESTS"})}));
}

// One run of a command, for its JSON summary.
struct RunContext {
  const std::string& command;
  const RunOptions& options;
  std::chrono::steady_clock::time_point start;
};

// The JSON summary, written whole or not at all. An error that stops the run is in it too, so a
// nightly job finds a report whatever happened after the arguments were accepted.
void write_report(const RunContext& run, std::optional<std::string> error, int status) {
  if (run.options.report_path.empty()) return;
  UpdateReport report{.command = run.command,
                      .data_bundle_path = run.options.root,
                      .totals = run_totals(),
                      .error = std::move(error),
                      .seconds = seconds_since(run.start),
                      .exit_status = status};
  write_file_atomically(run.options.report_path, render_update_report(report));
}

// The service calls of the whole run, every attempt counted, for the operator who wonders what a
// night asked of the service (and at what rate, with the run's start and end lines).
void log_service_calls() {
  const auto* retrying = dynamic_cast<const tallow::RetryingBackend*>(&tallow::backend());
  if (!retrying) return;
  const tallow::RetryingBackend::Counters& c = retrying->counters();
  system_log::info(fmt::format("数据服务调用 {} 次（重试 {} 次，放弃 {} 次），同时至多 {} 个请求",
                               c.calls.load(), c.retries.load(), c.give_ups.load(),
                               retrying->requests_in_flight()));
}

// Sets the client up, runs `update` with a run report shared by every worker, and ends with the
// summary. Anything that failed, reported through the result or the report, makes the status 1.
int run_update(const RetryOptions& retry, bool enable_bjse, const std::function<bool()>& update) {
  bundle::install_client_source(retry_policy(retry));
  bundle::_init_tallow(enable_bjse);
  bool ok = false;
  try {
    ok = update();
  } catch (Interrupted& e) {
    const RunTotals done = run_totals();
    e.set_done(fmt::format("{} 个标的已更新，{} 个无变化，{} 项失败，{}", done.updated,
                           done.unchanged, done.failed, kStoppedRestUnchanged));
    throw;
  }
  log_service_calls();
  RunTotals totals = run_totals();
  const int status = ok && totals.failed == 0 ? kExitOk : kExitFailed;
  // A run asked to do nothing says nothing.
  if (!ok || totals.updated + totals.unchanged + totals.failed + totals.retries > 0) {
    std::ostringstream summary;
    bundle::print_run_summary(totals, summary);
    // A quiet run that went well leaves its summary to the log.
    if (status != kExitOk || !console_quiet()) std::cout << summary.str() << std::flush;
    // The log carries the summary the console shows, line for line.
    std::istringstream lines(summary.str());
    for (std::string line; std::getline(lines, line);) system_log::info(line);
  }
  return status;
}

// The whole run holds the bundle's run lock; `missing` says whether it may create the bundle
// directory to take it.
int run_reported(const std::string& command, const RunOptions& o, bundle::MissingBundle missing,
                 bool enable_bjse, const std::function<bool()>& update) {
  const RunContext run{command, o, std::chrono::steady_clock::now()};
  // Before any work, and before the report itself could say what went wrong.
  if (!o.report_path.empty()) require_writable_output(o.report_path);
  publish_run_report(RunReport::create());
  int status = kExitFailed;
  try {
    check_bundle_root(o.root);
    const std::optional<bundle::BundleLock> lock =
        lock_bundle_or_exit(o.root, o.wait_seconds, missing);
    status = run_update(o.retry, enable_bjse, update);
  } catch (const BundleBusy& e) {
    write_report(run, e.what(), e.status());
    throw;
  } catch (const Interrupted& e) {
    write_report(run, e.what(), e.status());
    throw;
  } catch (const ExitRequest& e) {
    write_report(run, std::nullopt, e.status());
    throw;
  } catch (const ArgumentError& e) {
    write_report(run, one_line(e.what(), 400), kExitUsage);
    throw;
  } catch (const std::exception& e) {
    write_report(run, one_line(e.what(), 400), kExitFailed);
    throw;
  }
  write_report(run, std::nullopt, status);
  return status;
}

// A dry run: the plan on standard output and, with --report, as JSON; no lock and no write to the
// bundle. The same checks of the root come first, so that a run that would be refused says so.
int run_dry(const RunOptions& o, bool enable_bjse,
            const std::function<bundle::UpdatePlan()>& plan) {
  check_bundle_root(o.root);
  bundle::install_client_source(retry_policy(o.retry));
  bundle::_init_tallow(enable_bjse);
  const bundle::UpdatePlan made = plan();
  bundle::print_update_plan(made, std::cout);
  if (!o.report_path.empty()) write_file_atomically(o.report_path, render_update_plan(made));
  return kExitOk;
}

struct UpdateOptions {
  RunOptions run;
  bool base = true;
  std::vector<std::string> minbar, tick;
  bool with_derivatives = false, rebuild = false, enable_bjse = false;
};

// The rebuild is confirmed by the user on the console.
bundle::UpdateRequest update_request(const UpdateOptions& o) {
  return {.concurrency = o.run.concurrency,
          .data_bundle_path = o.run.root,
          .base = o.base,
          .minbar = o.minbar,
          .tick = o.tick,
          .with_derivatives = o.with_derivatives,
          .rebuild = o.rebuild,
          .enable_bjse = o.enable_bjse,
          .lock_wait = std::chrono::duration<double>(o.run.lock_wait_seconds),
          .recheck_days = o.run.recheck_days,
          .confirm_rebuild = [] { return bundle::ask_rebuild_confirmation(std::cin); }};
}

Command setup_update(CLI::App& main) {
  auto o = std::make_shared<UpdateOptions>();
  CLI::App* app = main.add_subcommand(
      "update", "update base data, then the minute bars and ticks of the instruments named");
  add_common(
      app, o->run,
      {"tessera-plus update -d ~/bundle -j 4 --minbar stock RB --tick 000001.XSHE",
       "tessera-plus update -d ~/bundle --no-base --minbar 000001.XSHE --rebuild",
       "tessera-plus update --dry-run --minbar all   # what it would fetch; writes nothing"});
  app->add_flag("--base,!--no-base", o->base, "update daily bars and base data (default: yes)");
  app->add_option("--minbar", o->minbar,
                  "minute-bar tags: stock, futures, fund, index, option, convertible, all, a "
                  "futures underlying symbol or an order book id");
  app->add_option("--tick", o->tick, "tick tags, as for --minbar");
  app->add_flag("--with-derivatives", o->with_derivatives,
                "also futures and options on the selected instruments");
  app->add_flag("--rebuild", o->rebuild, "rewrite the selected files from their first date");
  app->add_flag("--enable-bjse", o->enable_bjse, "include Beijing Stock Exchange stocks");
  return Command{app, [o] {
                   if (o->run.dry_run) {
                     return run_dry(o->run, o->enable_bjse,
                                    [&] { return bundle::plan_update(update_request(*o)); });
                   }
                   return run_reported(
                       "update", o->run, bundle::MissingBundle::kCreate, o->enable_bjse,
                       [&] { return bundle::update_bundle_from_tallow(update_request(*o)); });
                 }};
}

Command setup_smart_update(CLI::App& main) {
  auto o = std::make_shared<RunOptions>();
  CLI::App* app = main.add_subcommand(
      "smart-update",
      "update base data, extend every minute-bar and tick file present and re-create those that "
      "a check deleted");
  add_common(app, *o,
             {"tessera-plus smart-update -d ~/bundle --quiet --wait 3600   # nightly, from cron",
              "tessera-plus smart-update -d ~/bundle --recheck-days 20     # weekly, from cron",
              "tessera-plus smart-update -d ~/bundle --dry-run --report plan.json"});
  return Command{app, [o] {
                   if (o->dry_run) {
                     return run_dry(*o, false, [&] { return bundle::plan_smart_update(o->root); });
                   }
                   return run_reported(
                       "smart-update", *o, bundle::MissingBundle::kNoLock, false, [&] {
                         return bundle::update_bundle_from_exist_file(
                             o->concurrency, o->root,
                             std::chrono::duration<double>(o->lock_wait_seconds), o->recheck_days);
                       });
                 }};
}

const RegisterCommand reg_update{setup_update};
const RegisterCommand reg_smart{setup_smart_update};

}  // namespace
}  // namespace tessera_plus::cli
