// The machine-readable reports of the program: `check --json` on standard output and
// `update --report FILE`. Their shapes are fixed by the schemas under docs/schemas/.
#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>

#include "tessera_plus/base/run_report.h"
#include "tessera_plus/bundle/check/check_result.h"
#include "tessera_plus/bundle/status/bundle_status.h"
#include "tessera_plus/bundle/update/update_plan.h"

namespace tessera_plus::cli {

double seconds_since(std::chrono::steady_clock::time_point start);

struct CheckReport {
  std::string kind;  // "minbar" or "tick"
  std::string data_bundle_path;
  bundle::CheckFindings findings;
  std::string message;  // why nothing was checked, when nothing was
  std::size_t deleted = 0;
  double seconds = 0;
  int exit_status = 0;
};

// One JSON document, ending in a line break.
std::string render_check_report(const CheckReport& report);

struct UpdateReport {
  std::string command;  // "update" or "smart-update"
  std::string data_bundle_path;
  RunTotals totals;
  std::optional<std::string> error;  // the error that stopped the run, one line
  double seconds = 0;
  int exit_status = 0;
};

std::string render_update_report(const UpdateReport& report);

// The plan of `update --dry-run` and `smart-update --dry-run` (`update-plan.schema.json`).
std::string render_update_plan(const bundle::UpdatePlan& plan);

std::string render_status_report(const bundle::BundleStatus& status);
// The same for people: one paragraph per class directory, then the questioned files.
std::string render_status_text(const bundle::BundleStatus& status);

}  // namespace tessera_plus::cli
