#include "python/bindings.h"

PYBIND11_MODULE(tessera_plus, m) {
  m.doc() =
      "Keeps a tessera data bundle up to date and sound: the tessera-plus commands as functions.\n"
      "\n"
      "The market-data source is chosen as for the program: TALLOW_SOURCE (sim, or python with\n"
      "TALLOW_PYTHON_MODULE). Errors are Python's own kinds (OSError with errno, PermissionError,\n"
      "BlockingIOError, ValueError, KeyError) plus PermissionDenied and ServiceUnavailable.";
  tessera_plus::python::bind_errors(m);
  tessera_plus::python::bind_results(m);
  tessera_plus::python::bind_commands(m);
  tessera_plus::python::bind_readers(m);
  tessera_plus::python::bind_sim(m);
}
