// The commands, with keyword arguments named after the command-line flags. Nothing here asks on
// standard input: a rebuild requested by rebuild=True is confirmed by the call itself, and the
// checks return their findings instead of offering to delete. Every call runs with the global
// interpreter lock released (python/background_call.h): other threads run meanwhile, Ctrl-C stops
// it, and its console lines reach Python's logging or sys.stdout.
#include <algorithm>
#include <chrono>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <pybind11/stl.h>

#include "python/background_call.h"
#include "python/bindings.h"
#include "python/plan.h"
#include "python/results.h"
#include "tessera_plus/base/errors.h"
#include "tessera_plus/base/publish.h"
#include "tessera_plus/base/run_report.h"
#include "tessera_plus/bundle/check/minbar_checker.h"
#include "tessera_plus/bundle/check/tick_checker.h"
#include "tessera_plus/bundle/client/client_setup.h"
#include "tessera_plus/bundle/client/source.h"
#include "tessera_plus/bundle/status/bundle_status.h"
#include "tessera_plus/bundle/store/bundle_lock.h"
#include "tessera_plus/bundle/store/bundle_root.h"
#include "tessera_plus/bundle/update/full_update.h"
#include "tessera_plus/bundle/update/run_summary.h"
#include "tessera_plus/bundle/update/sample_download.h"
#include "tessera_plus/bundle/update/smart_update.h"
#include "tessera_plus/bundle/update/update_plan.h"
#include "tessera_plus/market/client.h"

namespace tessera_plus::python {
namespace {

int cores() {
  unsigned n = std::thread::hardware_concurrency();
  return n == 0 ? 1 : static_cast<int>(n);
}

int workers_or_cores(std::optional<int> workers, const char* name) {
  if (!workers) return cores();
  if (*workers < 1) throw ValueError(std::string(name) + " must be at least 1");
  return *workers;
}

// `jobs` is the program's name (-j/--jobs); `concurrency` stays for callers that use it.
int job_count(std::optional<int> jobs, std::optional<int> concurrency) {
  if (jobs && concurrency && *jobs != *concurrency) {
    throw ValueError("jobs and concurrency name one setting: give one of them");
  }
  return workers_or_cores(jobs ? jobs : concurrency, "jobs");
}

std::chrono::milliseconds lock_limit(double wait) {
  if (!(wait >= 0)) throw ValueError("wait must be a number of seconds, at least 0");
  // A year stands for any longer wait (float('inf') included).
  return std::chrono::milliseconds(static_cast<std::int64_t>(std::min(wait, 3.2e7) * 1000));
}

// The bundle's run lock, as the command line takes it for the same operations: a notebook and a
// cron job never write one bundle at once. Still held after `wait` seconds: BlockingIOError.
std::optional<bundle::BundleLock> lock_bundle(const std::string& data_bundle_path,
                                              std::chrono::milliseconds wait,
                                              bundle::MissingBundle missing) {
  return bundle::lock_bundle(data_bundle_path, wait, missing, &std::cout);
}

// What every update shares with the command line's: how hard the client tries the service, where
// the JSON summary goes, how long to wait for locks, how progress is shown.
struct RunSettings {
  std::optional<int> retry_attempts;
  std::optional<double> retry_max_wait;
  std::optional<double> rate_limit;
  std::optional<int> requests;
  std::optional<std::string> report;
  std::chrono::milliseconds wait{0};
  double lock_wait = 0;
  CallOutput output;
};

// The environment's retry policy (TALLOW_RETRY_*, TALLOW_RATE_LIMIT, TALLOW_REQUESTS) with the
// keywords on top,
// installed afresh for each call, so that one call's settings never outlive it.
void install_client(const RunSettings& s) {
  tallow::RetryPolicy policy = tallow::RetryPolicy::from_environment();
  if (s.retry_attempts) {
    if (*s.retry_attempts < 1) throw ValueError("retry_attempts must be at least 1");
    policy.attempts = *s.retry_attempts;
  }
  if (s.retry_max_wait) {
    if (!(*s.retry_max_wait >= 0)) throw ValueError("retry_max_wait must be at least 0");
    policy.max_wait = std::chrono::milliseconds(std::int64_t(*s.retry_max_wait * 1000));
  }
  if (s.rate_limit) {
    if (!(*s.rate_limit >= 0)) throw ValueError("rate_limit must be at least 0");
    policy.requests_per_second = *s.rate_limit;
  }
  if (s.requests) policy.requests_in_flight = *s.requests;
  tallow::install_backend(
      std::make_shared<tallow::RetryingBackend>(bundle::source_from_environment(), policy));
}

// The JSON summary of `update --report`, written whole or not at all.
void write_report(const RunSettings& s, const py::object& report, const py::object& error) {
  if (!s.report) return;
  py::dict d = report.attr("to_dict")();
  d["error"] = error;
  const bool ok = error.is_none() && d["success"].cast<bool>();
  PyDict_DelItemString(d.ptr(), "success");
  d["exit_status"] = ok ? 0 : 1;
  const std::string text = py::module_::import("json")
                               .attr("dumps")(d, py::arg("ensure_ascii") = false)
                               .cast<std::string>();
  write_file_atomically(*s.report, text + "\n");
}

// The summary of a run that an error or an exception stopped, `error` saying which.
void finish_stopped(const RunSettings& s, UpdateRun& run, const RunReport& report,
                    std::chrono::steady_clock::time_point start, const py::object& error) {
  publish_run_report(std::nullopt);
  run.totals = report.totals();
  run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  write_report(s, update_report(run), error);
}

// Runs `update` (true when it went through) under the bundle's run lock with a run report of its
// own, prints the program's summary and returns the UpdateReport.
py::object run_update(const std::string& command, const std::string& root,
                      bundle::MissingBundle missing, bool enable_bjse, const RunSettings& s,
                      const std::function<bool()>& update) {
  const auto start = std::chrono::steady_clock::now();
  UpdateRun run{.command = command, .data_bundle_path = root, .totals = {}};
  std::optional<RunReport> report = RunReport::create();
  try {
    run_released(
        [&] {
          publish_run_report(report);
          const std::optional<bundle::BundleLock> lock = lock_bundle(root, s.wait, missing);
          install_client(s);
          bundle::_init_tallow(enable_bjse);
          bool refused = false;
          try {
            run.completed = update();
          } catch (const ExitRequest&) {
            // A stopped update (no Beijing-exchange permission) did nothing: a failure, and
            // its message is the last line, as the command line ends the run there.
            refused = true;
          }
          run.totals = run_totals();
          publish_run_report(std::nullopt);
          if (refused) return;
          const RunTotals& t = run.totals;
          if (!run.completed || t.updated + t.unchanged + t.failed + t.retries > 0) {
            std::cout.flush();
            bundle::print_run_summary(t, std::cout);
          }
        },
        s.output);
  } catch (py::error_already_set& e) {
    // Ctrl-C or a callback's error stopped the run: the report names the exception's class.
    finish_stopped(s, run, *report, start, e.type().attr("__name__"));
    throw;
  } catch (const std::exception& e) {
    finish_stopped(s, run, *report, start, py::str(one_line(e.what(), 400)));
    throw;
  }
  run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  py::object result = update_report(run);
  write_report(s, result, py::none());
  return result;
}

CallOutput output_of(py::object progress) {
  if (!PyCallable_Check(progress.ptr()) && !PyBool_Check(progress.ptr())) {
    throw py::type_error("progress must be True, False or a callable(label, done, total)");
  }
  return CallOutput{.progress = std::move(progress)};
}

RunSettings settings(std::optional<int> retry_attempts, std::optional<double> retry_max_wait,
                     std::optional<double> rate_limit, std::optional<int> requests,
                     std::optional<std::string> report, double wait, double lock_wait,
                     py::object progress) {
  if (!(lock_wait >= 0)) throw ValueError("lock_wait must be a number of seconds, at least 0");
  if (requests && (*requests < 1 || *requests > tallow::kMaxRequestsInFlight)) {
    throw ValueError("requests must be from 1 to " + std::to_string(tallow::kMaxRequestsInFlight));
  }
  return RunSettings{.retry_attempts = retry_attempts,
                     .retry_max_wait = retry_max_wait,
                     .rate_limit = rate_limit,
                     .requests = requests,
                     .report = std::move(report),
                     .wait = lock_limit(wait),
                     .lock_wait = lock_wait,
                     .output = output_of(std::move(progress))};
}

int checked_recheck_days(int days) {
  if (days < 0 || days > bundle::kMaxRecheckDays) {
    throw ValueError("recheck_days must be from 0 to " + std::to_string(bundle::kMaxRecheckDays));
  }
  return days;
}

// A dry run: the plan, made as the real run would make it, with nothing written and no lock
// taken; a dict with the keys of `--dry-run --report`.
py::object planned(bool enable_bjse, const RunSettings& s,
                   const std::function<bundle::UpdatePlan()>& plan) {
  bundle::UpdatePlan made;
  run_released(
      [&] {
        install_client(s);
        bundle::_init_tallow(enable_bjse);
        made = plan();
      },
      s.output);
  return plan_dict(made);
}

py::object update(const std::string& root, const std::vector<std::string>& minbar,
                  const std::vector<std::string>& tick, bool base, std::optional<int> jobs,
                  std::optional<int> concurrency, bool with_derivatives, bool rebuild,
                  bool enable_bjse, double wait, double lock_wait, int recheck_days,
                  std::optional<int> retry_attempts, std::optional<double> retry_max_wait,
                  std::optional<double> rate_limit, std::optional<int> requests,
                  std::optional<std::string> report, py::object progress, bool dry_run) {
  const RunSettings s = settings(retry_attempts, retry_max_wait, rate_limit, requests,
                                 std::move(report), wait, lock_wait, std::move(progress));
  const bundle::UpdateRequest request{
      .concurrency = job_count(jobs, concurrency),
      .data_bundle_path = root,
      .base = base,
      .minbar = minbar,
      .tick = tick,
      .with_derivatives = with_derivatives,
      .rebuild = rebuild,
      .enable_bjse = enable_bjse,
      .lock_wait = std::chrono::duration<double>(lock_wait),
      .recheck_days = checked_recheck_days(recheck_days),
      // rebuild=True is the caller's confirmation.
      .confirm_rebuild = [] { return bundle::RebuildDecision::kConfirmed; }};
  if (dry_run) return planned(enable_bjse, s, [&] { return bundle::plan_update(request); });
  return run_update("update", root, bundle::MissingBundle::kCreate, enable_bjse, s,
                    [&] { return bundle::update_bundle_from_tallow(request); });
}

py::object smart_update(const std::string& root, std::optional<int> jobs,
                        std::optional<int> concurrency, double wait, double lock_wait,
                        int recheck_days, std::optional<int> retry_attempts,
                        std::optional<double> retry_max_wait, std::optional<double> rate_limit,
                        std::optional<int> requests, std::optional<std::string> report,
                        py::object progress, bool dry_run) {
  const RunSettings s = settings(retry_attempts, retry_max_wait, rate_limit, requests,
                                 std::move(report), wait, lock_wait, std::move(progress));
  const int workers = job_count(jobs, concurrency);
  checked_recheck_days(recheck_days);
  if (dry_run) return planned(false, s, [&] { return bundle::plan_smart_update(root); });
  return run_update("smart-update", root, bundle::MissingBundle::kNoLock, false, s, [&] {
    return bundle::update_bundle_from_exist_file(
        workers, root, std::chrono::duration<double>(lock_wait), recheck_days);
  });
}

// How a mistyped root's error names the argument.
constexpr std::string_view kRootName = "data_bundle_path=";

// The checks print the command line's report of their findings, return them to the caller and
// ask nothing.
py::object check(const std::string& kind, const std::string& root, std::optional<int> jobs,
                 py::object progress, bool full = false) {
  bundle::require_bundle_dir(root, kRootName);
  const bundle::CheckRequest request{.data_bundle_path = root,
                                     .jobs = workers_or_cores(jobs, "jobs"),
                                     .findings = bundle::CheckRequest::Findings::kReport,
                                     .full = full};
  const auto start = std::chrono::steady_clock::now();
  bundle::CheckFindings findings;
  run_released(
      [&] {
        findings = kind == "minbar" ? bundle::check_min_bar_data(request)
                                    : bundle::check_tick_data(request);
      },
      output_of(std::move(progress)));
  return check_report(
      kind, root, findings,
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
}

const double kDefaultLockWaitSeconds = static_cast<double>(bundle::kDefaultLockWait.count());

const char* const kUpdateDoc =
    "Brings the bundle under data_bundle_path up to date: base data (unless base=False),\n"
    "then the minute bars and ticks of the instruments that the tags in minbar and tick\n"
    "name. jobs worker processes (default: one per core; concurrency is the same setting).\n"
    "rebuild=True rewrites the\n"
    "selected files without asking. lock_wait: seconds to wait for files that readers hold\n"
    "(default 180), as --lock-wait. recheck_days: stored trading days of each file fetched\n"
    "again with its new days and written again when the service has revised them (default 1,\n"
    "0 only appends), as --recheck-days. retry_attempts, retry_max_wait (seconds) and rate_limit\n"
    "(requests per second) as --retry-attempts, --retry-max-wait and --rate-limit; requests\n"
    "as --requests: service requests waiting at once, all workers together (default 16), apart\n"
    "from jobs, the files compressed and written at once; unset, the environment's TALLOW_*\n"
    "settings hold. report: also write the JSON summary of\n"
    "--report to this file, also when an error or Ctrl-C stops the run (its error names\n"
    "it, KeyboardInterrupt for Ctrl-C). progress: True (bars on sys.stderr), False, or a callable\n"
    "(label, done, total). Returns an UpdateReport, truthy when every step succeeded; falsy\n"
    "when one failed or the update stopped (no Beijing-exchange permission). Holds the\n"
    "bundle's run lock; another run holding it past wait seconds raises BlockingIOError\n"
    "naming it. Ctrl-C stops the workers, leaves every file whole and raises\n"
    "KeyboardInterrupt. dry_run=True writes nothing and returns the plan instead, as a dict\n"
    "with the keys of --dry-run --report: the files to create, extend, repair or rebuild.";

}  // namespace

void bind_commands(py::module_& m) {
  prepare_forks();
  // For the package's wrappers, whose signatures show the defaults.
  m.attr("_DEFAULT_LOCK_WAIT") = kDefaultLockWaitSeconds;
  m.attr("_DEFAULT_RECHECK_DAYS") = bundle::kDefaultRecheckDays;
  m.def(
      "update", &update, py::arg("data_bundle_path"), py::kw_only(),
      py::arg("minbar") = std::vector<std::string>{}, py::arg("tick") = std::vector<std::string>{},
      py::arg("base") = true, py::arg("jobs") = py::none(), py::arg("concurrency") = py::none(),
      py::arg("with_derivatives") = false, py::arg("rebuild") = false,
      py::arg("enable_bjse") = false, py::arg("wait") = 0.0,
      py::arg("lock_wait") = kDefaultLockWaitSeconds,
      py::arg("recheck_days") = bundle::kDefaultRecheckDays, py::arg("retry_attempts") = py::none(),
      py::arg("retry_max_wait") = py::none(), py::arg("rate_limit") = py::none(),
      py::arg("requests") = py::none(), py::arg("report") = py::none(), py::arg("progress") = true,
      py::arg("dry_run") = false, kUpdateDoc);
  m.def("smart_update", &smart_update, py::arg("data_bundle_path"), py::kw_only(),
        py::arg("jobs") = py::none(), py::arg("concurrency") = py::none(), py::arg("wait") = 0.0,
        py::arg("lock_wait") = kDefaultLockWaitSeconds,
        py::arg("recheck_days") = bundle::kDefaultRecheckDays,
        py::arg("retry_attempts") = py::none(), py::arg("retry_max_wait") = py::none(),
        py::arg("rate_limit") = py::none(), py::arg("requests") = py::none(),
        py::arg("report") = py::none(), py::arg("progress") = true, py::arg("dry_run") = false,
        "Refreshes base data, extends every minute-bar and tick file the bundle holds and\n"
        "re-creates those that a check deleted. The keywords and the UpdateReport returned are\n"
        "update's. Holds the bundle's run lock, as update does.");
  m.def(
      "check_minbar",
      [](const std::string& path, std::optional<int> jobs, py::object progress) {
        return check("minbar", path, jobs, std::move(progress));
      },
      py::arg("data_bundle_path"), py::kw_only(), py::arg("jobs") = py::none(),
      py::arg("progress") = true,
      "Checks every minute-bar file, jobs at once (default: one per core); returns a\n"
      "CheckReport: the broken files and those locked by another process or denied, each with\n"
      "its reason. It unpacks as (broken, locked) paths and is truthy when both are empty.\n"
      "Asks nothing, deletes nothing.");
  m.def(
      "check_tick",
      [](const std::string& path, std::optional<int> jobs, py::object progress, bool full) {
        return check("tick", path, jobs, std::move(progress), full);
      },
      py::arg("data_bundle_path"), py::kw_only(), py::arg("jobs") = py::none(),
      py::arg("progress") = true, py::arg("full") = false,
      "Checks every tick file; returns a CheckReport as check_minbar does. Days that the\n"
      "per-user cache knows to decode are not decoded again unless full=True.");
  m.def(
      "status",
      [](const std::string& path) {
        bundle::require_bundle_dir(path, kRootName);
        bundle::BundleStatus status;
        run_released([&] { status = bundle::bundle_status(path); }, CallOutput{});
        return bundle_status_object(status);
      },
      py::arg("data_bundle_path"),
      "What each class directory holds, how far behind the calendar its files are and which\n"
      "files a check would question, as `tessera-plus status --json`; a BundleStatus, truthy\n"
      "when no file is questioned.");
  m.def(
      "download_sample",
      [](const std::string& path, std::optional<std::string> file, double wait,
         py::object progress) {
        const std::chrono::milliseconds limit = lock_limit(wait);
        run_released(
            [&] {
              const std::optional<bundle::BundleLock> lock =
                  lock_bundle(path, limit, bundle::MissingBundle::kCreate);
              bundle::download_simple_bundle(path, true, file);
            },
            output_of(std::move(progress)));
      },
      py::arg("data_bundle_path"), py::kw_only(), py::arg("file") = py::none(),
      py::arg("wait") = 0.0, py::arg("progress") = true,
      "Unpacks the sample bundle into data_bundle_path/bundle: downloaded, or the local\n"
      "archive file (twbundle_sample.tar.bz2) when given. Holds the bundle's run lock, as\n"
      "update does.");
}

}  // namespace tessera_plus::python
