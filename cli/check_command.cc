// `tessera-plus check minbar|tick [-d PATH] [-j N] [--json] [--yes]`: verifies the bundle's
// minute-bar or tick files and, on the user's yes read from standard input (or at once with
// --yes), deletes the broken ones, recorded in the bundle for the next update to rebuild. --json
// prints the findings as one JSON document instead.
#include <algorithm>
#include <chrono>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>

#include "cli/bundle_dir.h"
#include "cli/command.h"
#include "cli/help_text.h"
#include "cli/option_checks.h"
#include "cli/reports.h"
#include "cli/run_lock.h"
#include "tessera_plus/base/console.h"
#include "tessera_plus/base/errors.h"
#include "tessera_plus/base/interrupted.h"
#include "tessera_plus/bundle/check/minbar_checker.h"
#include "tessera_plus/bundle/check/tick_checker.h"

namespace tessera_plus::cli {
namespace {

struct CheckOptions {
  std::string data_bundle_path = default_bundle_root();
  // One worker process per file being read; the default keeps every core busy.
  int jobs = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
  bool json = false;
  bool yes = false;
  bool full = false;        // tick only: decode every day, cached or not
  double wait_seconds = 0;  // for another run's lock on the bundle, before deleting
};

// Unattended runs (--json, --yes) report what they found through the exit status; the
// interactive run keeps ending with 0, whatever the answer.
int run_check(const CheckOptions& o, bool minbar) {
  const auto start = std::chrono::steady_clock::now();
  try {
    require_bundle_dir(o.data_bundle_path);
  } catch (const OSError& e) {
    // A nightly job reading the document learns it too; the console line follows from the caller.
    if (o.json) {
      std::cout << render_check_report({.kind = minbar ? "minbar" : "tick",
                                        .data_bundle_path = o.data_bundle_path,
                                        .findings = {},
                                        .message = e.what(),
                                        .deleted = 0,
                                        .seconds = seconds_since(start),
                                        .exit_status = kExitFailed})
                << std::flush;
    }
    throw;
  }
  // Deleting files under a running update would undo its work; reporting needs no lock.
  // An interactive check takes it only once the user has said yes.
  std::optional<bundle::BundleLock> lock;
  const auto take_lock = [&] {
    std::optional<bundle::BundleLock> taken =
        lock_bundle_or_exit(o.data_bundle_path, o.wait_seconds, bundle::MissingBundle::kNoLock);
    if (taken) lock.emplace(std::move(*taken));
  };
  if (o.yes) take_lock();
  // With --json the console lines are kept out of standard output: one document, nothing else.
  // A quiet unattended check shows them only when it found something.
  std::ostringstream held;
  const bool quiet = o.yes && !o.json && console_quiet();
  std::ostream& out = o.json || quiet ? held : std::cout;
  const bundle::CheckRequest request{.data_bundle_path = o.data_bundle_path,
                                     .jobs = o.jobs,
                                     .findings = o.yes    ? bundle::CheckRequest::Findings::kDelete
                                                 : o.json ? bundle::CheckRequest::Findings::kReturn
                                                          : bundle::CheckRequest::Findings::kAsk,
                                     .full = o.full,
                                     .out = &out,
                                     .before_deleting = take_lock};
  bundle::CheckFindings findings;
  try {
    findings = minbar ? bundle::check_min_bar_data(request) : bundle::check_tick_data(request);
  } catch (Interrupted& e) {
    // Stopped at the question, the check has said what it found.
    if (e.done().empty()) e.set_done("检查未完成，未删除任何文件；再次运行即可继续");
    throw;
  }
  const bool found = !findings.broken.empty() || !findings.locked.empty();
  const int status = (o.json || o.yes) && found ? kExitFailed : kExitOk;
  if (quiet && (found || !findings.checked)) std::cout << held.str() << std::flush;
  if (o.json) {
    CheckReport report{.kind = minbar ? "minbar" : "tick",
                       .data_bundle_path = o.data_bundle_path,
                       .findings = findings,
                       .message = findings.checked ? "" : held.str(),
                       .deleted = o.yes && findings.checked ? findings.broken.size() : 0,
                       .seconds = seconds_since(start),
                       .exit_status = status};
    std::cout << render_check_report(report) << std::flush;
  }
  return status;
}

// The options of `check`, given to `check` and to each kind of data alike, so that they may come
// before or after the kind (`check -d PATH minbar`, `check minbar -d PATH`) and every --help lists
// them.
void add_check_options(CLI::App* app, CheckOptions& o) {
  app->add_option("-d,--data-bundle-path", o.data_bundle_path, "the bundle root (holding bundle/)")
      ->capture_default_str();
  app->add_option("-j,--jobs,--concurrency", o.jobs,
                  "files read at once, each in its own worker process")
      ->check(whole_from(1, kMaxJobs))
      ->capture_default_str();
  app->add_flag("--json", o.json,
                "print the findings as one JSON document on standard output; never asks");
  app->add_flag("--yes", o.yes,
                "delete the broken files without asking (for cron); the next update rebuilds "
                "them");
  add_wait_option(app, o.wait_seconds);
}

Command setup_check(CLI::App& main) {
  CLI::App* check = main.add_subcommand("check", "verify minute-bar or tick files of the bundle");
  check->require_subcommand(1);
  auto o = std::make_shared<CheckOptions>();
  add_check_options(check, *o);
  check->footer(render_footer(
      {.statuses =
           "0 when the files are sound (and after any answer to the question); 1 when "
           "ROOT/bundle does not exist, an error stopped the check, with --json or --yes broken or "
           "locked files were found, with --yes another run held the bundle, or the question got "
           "no "
           "answer (end of input); 2 on bad usage (also a root that is a file, a bad value in the "
           "environment, or no -d without HOME or TESSERA_BUNDLE_ROOT); 130, 143 or 129 when "
           "SIGINT, SIGTERM or SIGHUP "
           "stopped it (before deleting anything; also at the question). Errors are one line on "
           "standard error and in the "
           "log.",
       .examples = {"tessera-plus check minbar -d ~/bundle   # asks before deleting",
                    "tessera-plus check tick -d ~/bundle --json > findings.json",
                    "tessera-plus check minbar -d ~/bundle --yes --quiet   # from cron"},
       .environment = environment_lines({"TESSERA_BUNDLE_ROOT", "TESSERA_NOW", "TESSERA_LOG_FILE",
                                         "TESSERA_CHECK_CACHE", "TALLOW_SOURCE"})}));
  // Options the kinds do not take themselves (the program's --quiet) are the parent's.
  CLI::App* minbar = check->add_subcommand("minbar", "check the minute-bar files")->fallthrough();
  CLI::App* tick = check->add_subcommand("tick", "check the tick files")->fallthrough();
  for (CLI::App* kind : {minbar, tick}) {
    add_check_options(kind, *o);
    kind->footer(check->get_footer());
  }
  tick->add_flag("--full", o->full,
                 "decode every day of every file, even the days that a check by this user has "
                 "found to decode and whose file has not changed since (then remembered in "
                 "$XDG_CACHE_HOME/tessera_plus/tick-verified, else ~/.cache/...; "
                 "TESSERA_CHECK_CACHE=0 turns that off)");
  return Command{check, [o, minbar, tick] {
                   if (minbar->parsed()) return run_check(*o, true);
                   if (tick->parsed()) return run_check(*o, false);
                   return kExitOk;
                 }};
}

const RegisterCommand reg{setup_check};

}  // namespace
}  // namespace tessera_plus::cli
