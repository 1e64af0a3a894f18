// The one place where a Python client library's exceptions become ours.
#pragma once

#include <exception>
#include <string_view>

#include <pybind11/pytypes.h>

namespace tessera_plus::pysource {

// Throws the error kind that matches the pending Python exception `error`, with the one-line
// message "<where>: <class>: <first line of its text>". Kinds are chosen by the names along the
// exception's class hierarchy, so a library's own classes need not be importable here:
//   PermissionDenied                                   → tallow::PermissionDenied
//   TimeoutError, ConnectionError, ServiceUnavailable  → tallow::ServiceUnavailable
//   ValueError, TypeError                              → ValueError
//   KeyError                                           → KeyError
//   anything else                                      → Error
[[noreturn]] void throw_translated(pybind11::error_already_set& error, std::string_view where);

}  // namespace tessera_plus::pysource
