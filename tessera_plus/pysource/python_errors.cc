#include "tessera_plus/pysource/python_errors.h"

#include <string>
#include <vector>

#include <fmt/format.h>
#include <pybind11/pybind11.h>

#include "tessera_plus/base/errors.h"
#include "tessera_plus/market/types.h"

namespace tessera_plus::pysource {
namespace py = pybind11;
namespace {

std::vector<std::string> class_names(const py::handle& type) {
  std::vector<std::string> names;
  for (py::handle base : type.attr("__mro__")) names.push_back(py::str(base.attr("__name__")));
  return names;
}

bool has(const std::vector<std::string>& names, std::string_view name) {
  for (const std::string& n : names) {
    if (n == name) return true;
  }
  return false;
}

std::string first_line(std::string text) { return text.substr(0, text.find('\n')); }

}  // namespace

void throw_translated(py::error_already_set& error, std::string_view where) {
  std::vector<std::string> names = class_names(error.type());
  std::string text;
  try {
    text = py::str(error.value());
  } catch (const py::error_already_set&) {
    text = "(its message cannot be shown)";
  }
  std::string message = fmt::format("{}: {}", where, names.front());
  if (!text.empty()) message += ": " + first_line(text);
  if (has(names, "PermissionDenied")) throw tallow::PermissionDenied(message);
  if (has(names, "TimeoutError") || has(names, "ConnectionError") ||
      has(names, "ServiceUnavailable")) {
    throw tallow::ServiceUnavailable(message);
  }
  if (has(names, "KeyError")) throw KeyError(message);
  if (has(names, "ValueError") || has(names, "TypeError")) throw ValueError(message);
  throw Error(message);
}

}  // namespace tessera_plus::pysource
