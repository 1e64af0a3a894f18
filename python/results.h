// What the commands return to Python: objects over the same figures as the program's JSON reports
// (`update --report`, `check --json`, `status --json`), with the same names.
#pragma once

#include <string>

#include "python/bindings.h"
#include "tessera_plus/base/run_report.h"
#include "tessera_plus/bundle/check/check_result.h"
#include "tessera_plus/bundle/status/bundle_status.h"

namespace tessera_plus::python {

struct UpdateRun {
  std::string command;  // "update" or "smart-update"
  std::string data_bundle_path;
  RunTotals totals;
  bool completed = false;  // the update went through every step (no stop, no refusal)
  double seconds = 0;
};

py::object update_report(const UpdateRun& run);
py::object check_report(const std::string& kind, const std::string& data_bundle_path,
                        const bundle::CheckFindings& findings, double seconds);
py::object bundle_status_object(const bundle::BundleStatus& status);

// UpdateReport, CheckReport and BundleStatus.
void bind_results(py::module_& m);

}  // namespace tessera_plus::python
