// Our error kinds as the Python exceptions a Python user expects: OSError built from (errno,
// message) so that Python picks FileNotFoundError, PermissionError or BlockingIOError itself.
#include <exception>

#include "python/bindings.h"
#include "tessera_plus/base/errors.h"
#include "tessera_plus/market/types.h"

namespace tessera_plus::python {
namespace {

void set_os_error(const OSError& e) {
  py::object error = py::reinterpret_borrow<py::object>(PyExc_OSError);
  if (e.error_number() != 0) {
    error = error(e.error_number(), e.what());
  } else {
    error = error(e.what());
  }
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error.ptr());
}

}  // namespace

void bind_errors(py::module_& m) {
  static py::exception<tallow::PermissionDenied> permission_denied(m, "PermissionDenied");
  permission_denied.doc() = "The market-data account may not use the requested data.";
  static py::exception<tallow::ServiceUnavailable> unavailable(m, "ServiceUnavailable",
                                                               PyExc_ConnectionError);
  unavailable.doc() = "The market-data service could not answer now; try again later.";
  py::register_exception_translator([](std::exception_ptr p) {
    try {
      if (p) std::rethrow_exception(p);
    } catch (const OSError& e) {
      set_os_error(e);
    } catch (const tallow::PermissionDenied& e) {
      PyErr_SetString(permission_denied.ptr(), e.what());
    } catch (const tallow::ServiceUnavailable& e) {
      PyErr_SetString(unavailable.ptr(), e.what());
    } catch (const ValueError& e) {
      PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const ArgumentError& e) {
      PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const KeyError& e) {
      PyErr_SetString(PyExc_KeyError, e.what());
    } catch (const Error& e) {
      PyErr_SetString(PyExc_RuntimeError, e.what());
    }
  });
}

}  // namespace tessera_plus::python
