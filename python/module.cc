#include <string>

#include "python/bindings.h"
#include "tessera_plus/base/version.h"

// The compiled part of the package `tessera_plus`, which re-exports it.
PYBIND11_MODULE(_core, m) {
  m.doc() =
      "Keeps a tessera data bundle up to date and sound: the tessera-plus commands as functions.\n"
      "\n"
      "The market-data source is chosen as for the program: TALLOW_SOURCE (sim, or python with\n"
      "TALLOW_PYTHON_MODULE). Errors are Python's own kinds (OSError with errno, PermissionError,\n"
      "BlockingIOError, ValueError, KeyError) plus PermissionDenied and ServiceUnavailable.\n"
      "\n"
      "Long calls release the GIL and stop on Ctrl-C with KeyboardInterrupt. Their console lines\n"
      "are logged at INFO on the logger 'tessera_plus' when it is enabled for INFO, and written\n"
      "to sys.stdout otherwise; progress bars go to sys.stderr (progress=False: none; a\n"
      "callable: called as (label, done, total) instead).";
  m.attr("__version__") = std::string(tessera_plus::project_version());
  tessera_plus::python::bind_errors(m);
  tessera_plus::python::bind_results(m);
  tessera_plus::python::bind_commands(m);
  tessera_plus::python::bind_readers(m);
  tessera_plus::python::bind_frame_columns(m);
  tessera_plus::python::bind_bundle_tables(m);
  tessera_plus::python::bind_sim(m);
}
