// The commands, with keyword arguments named after the command-line flags. Nothing here asks on
// standard input: a rebuild requested by rebuild=True is confirmed by the call itself, and the
// checks return their findings instead of offering to delete.
#include <algorithm>
#include <chrono>
#include <iostream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <pybind11/stl.h>

#include "python/bindings.h"
#include "tessera_plus/base/errors.h"
#include "tessera_plus/bundle/check/minbar_checker.h"
#include "tessera_plus/bundle/check/tick_checker.h"
#include "tessera_plus/bundle/client/client_setup.h"
#include "tessera_plus/bundle/store/bundle_lock.h"
#include "tessera_plus/bundle/update/full_update.h"
#include "tessera_plus/bundle/update/sample_download.h"
#include "tessera_plus/bundle/update/smart_update.h"

namespace tessera_plus::python {
namespace {

int concurrency_or_cores(std::optional<int> concurrency) {
  if (concurrency) {
    if (*concurrency < 1) throw ValueError("concurrency must be at least 1");
    return *concurrency;
  }
  unsigned cores = std::thread::hardware_concurrency();
  return cores == 0 ? 1 : static_cast<int>(cores);
}

// The bundle's run lock, as the command line takes it for the same operations: a notebook and a
// cron job never write one bundle at once. Still held after `wait` seconds: BlockingIOError.
std::optional<bundle::BundleLock> lock_bundle(const std::string& data_bundle_path, double wait,
                                              bundle::MissingBundle missing) {
  if (!(wait >= 0)) throw ValueError("wait must be a number of seconds, at least 0");
  // A year stands for any longer wait (float('inf') included).
  const auto limit =
      std::chrono::milliseconds(static_cast<std::int64_t>(std::min(wait, 3.2e7) * 1000));
  // The notebook's other threads run while this one waits.
  py::gil_scoped_release released;
  return bundle::lock_bundle(data_bundle_path, limit, missing, &std::cout);
}

// A stopped update (no Beijing-exchange permission) did nothing: a failure to the caller.
template <typename Run>
bool unless_stopped(Run run) {
  try {
    return run();
  } catch (const ExitRequest&) {
    return false;
  }
}

const double kDefaultLockWaitSeconds = static_cast<double>(bundle::kDefaultLockWait.count());

// The keyword arguments of `update`, as Python passes them to the binding.
bool update(const std::string& data_bundle_path, const std::vector<std::string>& minbar,
            const std::vector<std::string>& tick, bool base, std::optional<int> concurrency,
            bool with_derivatives, bool rebuild, bool enable_bjse, double wait, double lock_wait) {
  const bundle::UpdateRequest request{
      .concurrency = concurrency_or_cores(concurrency),
      .data_bundle_path = data_bundle_path,
      .base = base,
      .minbar = minbar,
      .tick = tick,
      .with_derivatives = with_derivatives,
      .rebuild = rebuild,
      .enable_bjse = enable_bjse,
      .lock_wait = std::chrono::duration<double>(lock_wait),
      // rebuild=True is the caller's confirmation.
      .confirm_rebuild = [] { return bundle::RebuildDecision::kConfirmed; }};
  const std::optional<bundle::BundleLock> lock =
      lock_bundle(data_bundle_path, wait, bundle::MissingBundle::kCreate);
  bundle::_init_tallow(enable_bjse);
  return unless_stopped([&] { return bundle::update_bundle_from_tallow(request); });
}

bool smart_update(const std::string& data_bundle_path, std::optional<int> concurrency, double wait,
                  double lock_wait) {
  int workers = concurrency_or_cores(concurrency);
  const std::optional<bundle::BundleLock> lock =
      lock_bundle(data_bundle_path, wait, bundle::MissingBundle::kNoLock);
  bundle::_init_tallow();
  return bundle::update_bundle_from_exist_file(workers, data_bundle_path,
                                               std::chrono::duration<double>(lock_wait));
}

// The checks return their findings to the caller and ask nothing.
bundle::CheckRequest report_only(const std::string& data_bundle_path) {
  return {.data_bundle_path = data_bundle_path,
          .findings = bundle::CheckRequest::Findings::kReturn};
}

py::tuple findings_tuple(const bundle::CheckFindings& findings) {
  return py::make_tuple(findings.broken, findings.locked);
}

}  // namespace

void bind_commands(py::module_& m) {
  m.def("update", &update, py::arg("data_bundle_path"), py::kw_only(),
        py::arg("minbar") = std::vector<std::string>{},
        py::arg("tick") = std::vector<std::string>{}, py::arg("base") = true,
        py::arg("concurrency") = py::none(), py::arg("with_derivatives") = false,
        py::arg("rebuild") = false, py::arg("enable_bjse") = false, py::arg("wait") = 0.0,
        py::arg("lock_wait") = kDefaultLockWaitSeconds,
        "Brings the bundle under data_bundle_path up to date: base data (unless base=False),\n"
        "then the minute bars and ticks of the instruments that the tags in minbar and tick\n"
        "name. concurrency worker processes (default: one per core). rebuild=True rewrites the\n"
        "selected files without asking. lock_wait: seconds to wait for files that readers hold\n"
        "(default 180), as --lock-wait. Returns True when every step succeeded; False when one\n"
        "failed or the update stopped (no Beijing-exchange permission). Holds the bundle's run\n"
        "lock; another run holding it past wait seconds raises BlockingIOError naming it.");
  m.def("smart_update", &smart_update, py::arg("data_bundle_path"), py::kw_only(),
        py::arg("concurrency") = py::none(), py::arg("wait") = 0.0,
        py::arg("lock_wait") = kDefaultLockWaitSeconds,
        "Refreshes base data, extends every minute-bar and tick file the bundle holds and\n"
        "re-creates those that a check deleted. lock_wait: seconds to wait for files that\n"
        "readers hold (default 180). Returns True when every update succeeded. Holds the\n"
        "bundle's run lock, as update does.");
  m.def(
      "check_minbar",
      [](const std::string& path) {
        return findings_tuple(bundle::check_min_bar_data(report_only(path)));
      },
      py::arg("data_bundle_path"),
      "Checks every minute-bar file; returns (broken, locked): the paths of the broken files\n"
      "and of those locked by another process or denied. Asks nothing, deletes nothing.");
  m.def(
      "check_tick",
      [](const std::string& path) {
        return findings_tuple(bundle::check_tick_data(report_only(path)));
      },
      py::arg("data_bundle_path"),
      "Checks every tick file; returns (broken, locked) as check_minbar does.");
  m.def(
      "download_sample",
      [](const std::string& path, std::optional<std::string> file, double wait) {
        const std::optional<bundle::BundleLock> lock =
            lock_bundle(path, wait, bundle::MissingBundle::kCreate);
        bundle::download_simple_bundle(path, true, file);
      },
      py::arg("data_bundle_path"), py::kw_only(), py::arg("file") = py::none(),
      py::arg("wait") = 0.0,
      "Unpacks the sample bundle into data_bundle_path/bundle: downloaded, or the local\n"
      "archive file (twbundle_sample.tar.bz2) when given. Holds the bundle's run lock, as\n"
      "update does.");
}

}  // namespace tessera_plus::python
