#include "python/results.h"

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "tessera_plus/bundle/store/bundle_layout.h"

namespace tessera_plus::python {
namespace {

// Paths as os.fsdecode makes them; reasons, which may quote any bytes, with U+FFFD for what is
// not UTF-8.
py::str path_text(std::string_view path) {
  return py::reinterpret_steal<py::str>(
      PyUnicode_DecodeFSDefaultAndSize(path.data(), static_cast<Py_ssize_t>(path.size())));
}

py::str plain_text(std::string_view text) {
  return py::reinterpret_steal<py::str>(
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
}

py::object optional_date(const std::optional<std::int64_t>& date) {
  return date ? py::object(py::int_(*date)) : py::object(py::none());
}

// One report: its figures as the JSON report names them, read through properties.
class Report {
 public:
  Report(std::string type, py::dict data) : type_(std::move(type)), data_(std::move(data)) {}
  py::object get(const char* key) const { return data_[key]; }
  py::dict to_dict() const { return py::module_::import("copy").attr("deepcopy")(data_); }
  const std::string& type() const { return type_; }

 private:
  std::string type_;
  py::dict data_;
};

class UpdateReport : public Report {
  using Report::Report;
};
class CheckReport : public Report {
  using Report::Report;
};
class BundleStatus : public Report {
  using Report::Report;
};

py::list files_list(const std::vector<std::string>& paths,
                    const std::vector<std::string>& reasons) {
  py::list files;
  for (std::size_t i = 0; i < paths.size(); ++i) {
    py::dict file;
    file["path"] = path_text(paths[i]);
    file["order_book_id"] = plain_text(bundle::order_book_id_of_file(paths[i]));
    file["reason"] = plain_text(i < reasons.size() ? reasons[i] : std::string());
    files.append(file);
  }
  return files;
}

py::list paths_of(const py::object& files) {
  py::list paths;
  for (py::handle file : files) paths.append(file["path"]);
  return paths;
}

py::object frame(const py::object& rows, const std::vector<const char*>& columns) {
  py::list names;
  for (const char* c : columns) names.append(c);
  return py::module_::import("pandas").attr("DataFrame")(rows, py::arg("columns") = names);
}

std::string repr_of(const Report& r, const std::vector<const char*>& keys) {
  std::string text = r.type() + "(";
  for (std::size_t i = 0; i < keys.size(); ++i) {
    text +=
        std::string(i ? ", " : "") + keys[i] + "=" + py::repr(r.get(keys[i])).cast<std::string>();
  }
  return text + ")";
}

// A YYYYMMDD date as a pandas Timestamp, None as NaT: a frame's column of them is datetime64.
py::object timestamp_of(py::handle date) {
  py::module_ pandas = py::module_::import("pandas");
  if (date.is_none()) return pandas.attr("NaT");
  const auto n = date.cast<std::int64_t>();
  return pandas.attr("Timestamp")(n / 10000, n / 100 % 100, n % 100);
}

// The figures read through properties; a report pickles as them, so that a pool worker of
// multiprocessing can return one.
template <typename T>
void def_fields(py::class_<T>& c, const char* type, const std::vector<const char*>& keys) {
  for (const char* key : keys) {
    c.def_property_readonly(key, [key](const T& r) { return r.get(key); });
  }
  c.def("to_dict", &T::to_dict, "The figures as the program's JSON report has them.");
  c.def(py::pickle([](const T& r) { return r.to_dict(); },
                   [type](const py::dict& d) { return T(type, d); }));
}

void bind_update_report(py::module_& m) {
  py::class_<UpdateReport> c(m, "UpdateReport",
                             "What update or smart_update did; truthy when it succeeded.");
  def_fields(c, "UpdateReport",
             {"command", "data_bundle_path", "updated", "unchanged", "failed", "failures",
              "failures_not_listed", "retries", "revised_days", "rows_written", "bytes_added",
              "error", "duration_seconds", "success"});
  c.def_property_readonly("rows", [](const UpdateReport& r) { return r.get("rows_written"); });
  c.def_property_readonly("bytes", [](const UpdateReport& r) { return r.get("bytes_added"); });
  c.def_property_readonly("duration",
                          [](const UpdateReport& r) { return r.get("duration_seconds"); });
  c.def("__bool__", [](const UpdateReport& r) { return r.get("success").cast<bool>(); });
  c.def(
      "to_frame",
      [](const UpdateReport& r) {
        return frame(r.get("failures"), {"what", "reason"});
      },
      "The listed failures, one row each: what failed and why.");
  c.def("__repr__", [](const UpdateReport& r) {
    return repr_of(r, {"success", "updated", "unchanged", "failed", "retries", "rows_written"});
  });
}

void bind_check_report(py::module_& m) {
  py::class_<CheckReport> c(
      m, "CheckReport",
      "What a check found; truthy when no file is broken or locked. Unpacks as (broken, locked)\n"
      "paths.");
  def_fields(c, "CheckReport",
             {"kind", "data_bundle_path", "checked", "files", "duration_seconds"});
  c.def_property_readonly("broken", [](const CheckReport& r) { return paths_of(r.get("broken")); });
  c.def_property_readonly("locked", [](const CheckReport& r) { return paths_of(r.get("locked")); });
  c.def_property_readonly("reasons", [](const CheckReport& r) {
    py::dict reasons;
    for (const char* key : {"broken", "locked"}) {
      for (py::handle file : r.get(key)) reasons[file["path"]] = file["reason"];
    }
    return reasons;
  });
  c.def("__bool__", [](const CheckReport& r) {
    return py::len(r.get("broken")) == 0 && py::len(r.get("locked")) == 0;
  });
  c.def("__len__", [](const CheckReport&) { return 2; });
  c.def("__eq__", [](const CheckReport& r, const py::object& other) -> py::object {
    if (!py::isinstance<py::sequence>(other) || py::isinstance<py::str>(other)) {
      return py::reinterpret_borrow<py::object>(Py_NotImplemented);
    }
    return py::make_tuple(paths_of(r.get("broken")), paths_of(r.get("locked")))
        .attr("__eq__")(py::tuple(other));
  });
  c.def("__getitem__", [](const CheckReport& r, int i) {
    if (i < 0) i += 2;
    if (i == 0) return paths_of(r.get("broken"));
    if (i == 1) return paths_of(r.get("locked"));
    throw py::index_error("a check report unpacks as (broken, locked)");
  });
  c.def(
      "to_frame",
      [](const CheckReport& r) {
        py::list rows;
        for (const char* state : {"broken", "locked"}) {
          for (py::handle file : r.get(state)) {
            rows.append(py::make_tuple(file["path"], file["order_book_id"], state, file["reason"]));
          }
        }
        return frame(rows, {"path", "order_book_id", "state", "reason"});
      },
      "One row per broken or locked file: path, order_book_id, state, reason.");
  c.def("__repr__", [](const CheckReport& r) {
    return repr_of(r, {"kind", "checked", "files"}) +
           " broken=" + std::to_string(py::len(r.get("broken"))) +
           " locked=" + std::to_string(py::len(r.get("locked")));
  });
}

void bind_bundle_status(py::module_& m) {
  py::class_<BundleStatus> c(
      m, "BundleStatus",
      "What each class directory of a bundle holds, as `status --json`; truthy when no file is\n"
      "questioned.");
  def_fields(c, "BundleStatus",
             {"data_bundle_path", "has_calendar", "last_trading_day", "classes", "unfinished"});
  c.def(
      "to_frame",
      [](const BundleStatus& r) {
        py::list rows;
        for (py::handle k : r.get("classes")) {
          py::dict row = py::module_::import("copy").attr("copy")(k);
          row["questioned"] = py::len(k["questioned"]);
          row["first_date"] = timestamp_of(k["first_date"]);
          row["last_date"] = timestamp_of(k["last_date"]);
          rows.append(row);
        }
        return py::module_::import("pandas").attr("DataFrame")(rows).attr("set_index")("name");
      },
      "One row per class directory, indexed by name; questioned is the number of files, "
      "first_date\n"
      "and last_date are dates (NaT for none).");
  c.def("__bool__", [](const BundleStatus& r) {
    for (py::handle k : r.get("classes")) {
      if (py::len(k["questioned"]) != 0) return false;
    }
    for (py::handle f : r.get("unfinished")) {
      if (!f["recovered"].cast<bool>()) return false;
    }
    return true;
  });
  c.def("__repr__", [](const BundleStatus& r) {
    return repr_of(r, {"data_bundle_path", "has_calendar", "last_trading_day"});
  });
}

}  // namespace

py::object update_report(const UpdateRun& run) {
  const RunTotals& t = run.totals;
  py::list failures;
  for (const RunFailure& f : t.failures) {
    py::dict failure;
    failure["what"] = plain_text(f.what);
    failure["reason"] = plain_text(f.reason);
    failures.append(failure);
  }
  py::dict d;
  d["command"] = run.command;
  d["data_bundle_path"] = path_text(run.data_bundle_path);
  d["updated"] = t.updated;
  d["unchanged"] = t.unchanged;
  d["failed"] = t.failed;
  d["failures"] = failures;
  d["failures_not_listed"] = t.failed - t.failures.size();
  d["retries"] = t.retries;
  d["revised_days"] = t.revised_days;
  d["rows_written"] = t.rows;
  d["bytes_added"] = t.bytes;
  d["error"] = py::none();
  d["duration_seconds"] = run.seconds;
  d["success"] = run.completed && t.failed == 0;
  return py::cast(UpdateReport("UpdateReport", d));
}

py::object check_report(const std::string& kind, const std::string& data_bundle_path,
                        const bundle::CheckFindings& findings, double seconds) {
  py::dict d;
  d["kind"] = kind;
  d["data_bundle_path"] = path_text(data_bundle_path);
  d["checked"] = findings.checked;
  d["files"] = findings.files;
  d["broken"] = files_list(findings.broken, findings.broken_reasons);
  d["locked"] = files_list(findings.locked, findings.locked_reasons);
  d["duration_seconds"] = seconds;
  return py::cast(CheckReport("CheckReport", d));
}

py::object bundle_status_object(const bundle::BundleStatus& status) {
  py::list classes;
  for (const bundle::ClassStatus& c : status.classes) {
    py::list questioned;
    for (const bundle::QuestionedFile& q : c.questioned) {
      py::dict file;
      file["path"] = path_text(q.path);
      file["reason"] = plain_text(q.reason);
      questioned.append(file);
    }
    py::dict k;
    k["name"] = c.name;
    k["dir"] = path_text(c.dir);
    k["present"] = c.present;
    k["files"] = c.files;
    k["bytes"] = c.bytes;
    k["first_date"] = optional_date(c.first_date);
    k["last_date"] = optional_date(c.last_date);
    k["behind"] = c.behind;
    py::list behind_files;
    for (const std::string& path : c.behind_files) behind_files.append(path_text(path));
    k["behind_files"] = behind_files;
    k["with_gaps"] = c.with_gaps;
    k["questioned"] = questioned;
    py::list short_days;
    for (const bundle::FileShortDays& f : c.short_days) {
      py::list days;
      for (const bundle::ShortDay& s : f.days) {
        py::dict day;
        day["date"] = s.date;
        day["bars"] = s.bars;
        days.append(day);
      }
      py::dict file;
      file["path"] = path_text(f.path);
      file["days"] = days;
      short_days.append(file);
    }
    k["short_days"] = short_days;
    classes.append(k);
  }
  py::dict d;
  d["data_bundle_path"] = path_text(status.root);
  d["has_calendar"] = status.has_calendar;
  d["last_trading_day"] = optional_date(status.last_trading_day);
  d["calendar_last_date"] = optional_date(status.calendar_last_date);
  d["classes"] = classes;
  py::list unfinished;
  for (const bundle::UnfinishedFile& f : status.unfinished) {
    py::dict file;
    file["path"] = path_text(f.path);
    file["recovered"] = f.recovered;
    file["reason"] = plain_text(f.reason);
    unfinished.append(file);
  }
  d["unfinished"] = unfinished;
  return py::cast(BundleStatus("BundleStatus", d));
}

void bind_results(py::module_& m) {
  bind_update_report(m);
  bind_check_report(m);
  bind_bundle_status(m);
}

}  // namespace tessera_plus::python
