// TALLOW_SOURCE=python: the market-data client's operations forwarded to a Python client library,
// by default the module `tallow`, or the one that TALLOW_PYTHON_MODULE names. A user who has the
// service's client library installed gets its data with no other change.
//
// Answers are converted exactly; the library's errors become ours (PermissionDenied, and
// ServiceUnavailable for timeouts and lost connections); every error message is one line. How the
// embedded interpreter meets forked workers: interpreter.h.
#pragma once

#include <memory>
#include <string>

#include "tessera_plus/market/backend.h"

namespace tessera_plus::pysource {

// Starts the interpreter (in this, the main, thread) and imports `module_name`. An Error naming
// the module and the import failure when it cannot be imported.
std::shared_ptr<tallow::Backend> make_python_source(std::string module_name);

// TALLOW_PYTHON_MODULE, `tallow` when unset or empty.
std::string module_from_environment();

}  // namespace tessera_plus::pysource
