// The program's version, one source for `tessera-plus --version`, the log's start line and the
// Python module's `__version__`: the CMake project version and the commit it was built from.
#pragma once

#include <string_view>

namespace tessera_plus {

// "MAJOR.MINOR.PATCH", as PEP 440 accepts it.
std::string_view project_version() noexcept;
// The short commit hash of the source, "unknown" outside a git checkout.
std::string_view build_commit() noexcept;

}  // namespace tessera_plus
