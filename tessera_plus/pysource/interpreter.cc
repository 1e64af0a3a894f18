#include "tessera_plus/pysource/interpreter.h"

#include <pthread.h>

#include <cstdlib>

#include <pybind11/embed.h>

namespace tessera_plus::pysource {
namespace py = pybind11;
namespace {

// Nothing to do when the interpreter was not started by us and its program forks: it then runs
// its own handlers only for os.fork, and our forks come from the pool, which runs C++ tasks.
void before_fork() { PyOS_BeforeFork(); }
void after_fork_parent() { PyOS_AfterFork_Parent(); }
void after_fork_child() { PyOS_AfterFork_Child(); }

void flush_python_streams() {
  if (!Py_IsInitialized()) return;
  PyGILState_STATE gil = PyGILState_Ensure();
  for (const char* name : {"stdout", "stderr"}) {
    PyObject* stream = PySys_GetObject(name);  // borrowed
    if (stream == nullptr || stream == Py_None) continue;
    PyObject* result = PyObject_CallMethod(stream, "flush", nullptr);
    if (result == nullptr) PyErr_Clear();  // a closed stream at exit: nothing left to save
    Py_XDECREF(result);
  }
  PyGILState_Release(gil);
}

}  // namespace

void ensure_interpreter() {
  if (Py_IsInitialized()) return;
  // Signal handlers stay ours: Ctrl-C must reach the pool and the writers, not Python.
  py::initialize_interpreter(/*init_signal_handlers=*/false);
  pthread_atfork(before_fork, after_fork_parent, after_fork_child);
  std::atexit(flush_python_streams);
}

}  // namespace tessera_plus::pysource
