#include "python/hdf5_turn.h"

namespace tessera_plus::python {
namespace {

std::mutex& module_hdf5_lock() {
  static std::mutex lock;
  return lock;
}

}  // namespace

Hdf5Turn::Hdf5Turn() : ours_(module_hdf5_lock()) {
  py::gil_scoped_acquire gil;
  py::dict modules = py::module_::import("sys").attr("modules");
  if (!modules.contains("h5py")) return;
  // h5py's own lock (phil) waits with the interpreter lock released.
  py::object lock = py::module_::import("h5py._objects").attr("phil");
  lock.attr("acquire")();
  h5py_lock_ = std::move(lock);
}

Hdf5Turn::~Hdf5Turn() {
  if (!h5py_lock_) return;
  py::gil_scoped_acquire gil;
  try {
    h5py_lock_->attr("release")();
  } catch (py::error_already_set&) {
    // Released already by nobody but us: nothing left to give back.
  }
  h5py_lock_.reset();
}

}  // namespace tessera_plus::python
