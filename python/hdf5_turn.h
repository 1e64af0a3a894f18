// One thread of the process at a time in the HDF5 library. The library is built without thread
// safety and is the same one h5py uses, so a released call of this module
// (python/background_call.h) must not meet another thread's read, ours or h5py's.
#pragma once

#include <mutex>
#include <optional>

#include "python/bindings.h"

namespace tessera_plus::python {

// Waits for the library's turn, then holds it: this module's own lock, and h5py's lock when h5py
// is imported (other threads' h5py calls wait until the turn ends). Take it with the interpreter
// lock released and hold it on the thread that took it; the interpreter lock may be taken while
// holding it, since nobody waits for the turn while holding the interpreter lock.
class Hdf5Turn {
 public:
  Hdf5Turn();
  ~Hdf5Turn();
  Hdf5Turn(const Hdf5Turn&) = delete;
  Hdf5Turn& operator=(const Hdf5Turn&) = delete;

 private:
  std::unique_lock<std::mutex> ours_;
  std::optional<py::object> h5py_lock_;
};

}  // namespace tessera_plus::python
