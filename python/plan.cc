#include "python/plan.h"

#include <string>

#include <pybind11/stl.h>

#include "tessera_plus/bundle/update/file_action.h"

namespace tessera_plus::python {
namespace {

using bundle::FileAction;

// No date (0) is None, as it is null in the JSON plan.
py::object date(int yyyymmdd) {
  return yyyymmdd == 0 ? py::object(py::none()) : py::int_(yyyymmdd);
}

py::dict planned_file(const bundle::PlannedFile& f) {
  py::dict file;
  file["order_book_id"] = f.order_book_id;
  file["path"] = f.path;
  file["kind"] = f.tick ? "tick" : "minbar";
  file["action"] = std::string(bundle::action_name(f.action));
  file["first_date"] = date(f.first_date);
  file["last_date"] = date(f.last_date);
  file["estimated_rows"] = f.estimated_rows;
  file["note"] = f.note;
  return file;
}

py::dict totals(const bundle::UpdatePlan& plan) {
  py::dict t;
  t["create"] = plan.count(FileAction::kCreate);
  t["extend"] = plan.count(FileAction::kExtend);
  t["repair"] = plan.count(FileAction::kRepair);
  t["rebuild"] = plan.count(FileAction::kRebuild);
  t["up_to_date"] = plan.count(FileAction::kUpToDate);
  t["fail"] = plan.count(FileAction::kFail);
  t["estimated_rows"] = plan.estimated_rows();
  return t;
}

}  // namespace

py::dict plan_dict(const bundle::UpdatePlan& plan) {
  py::dict base;
  base["refreshed"] = plan.base.refreshed;
  base["created"] = plan.base.created;
  base["files"] = plan.base.files;
  py::list files;
  for (const bundle::PlannedFile& f : plan.files) files.append(planned_file(f));
  py::dict out;
  out["command"] = plan.command;
  out["data_bundle_path"] = plan.data_bundle_path;
  out["dry_run"] = true;
  out["end_date"] = plan.end_date;
  out["base_data"] = base;
  out["files"] = files;
  out["totals"] = totals(plan);
  return out;
}

}  // namespace tessera_plus::python
