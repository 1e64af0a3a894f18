// Turning HDF5's error stack into exceptions. Internal to the HDF5 layer.
#pragma once

#include <hdf5.h>

#include "tessera_plus/h5/handle.h"

namespace tessera_plus::h5 {

// Switches HDF5's automatic error printing off and registers the Blosc filter, once per thread that
// touches HDF5. Every entry point of this layer calls it before its first HDF5 call.
void ensure_initialized();

// Throws the OSError kind that the current error stack describes: a lock held by another process
// (errno 11) is a BlockingIOError, missing permission (errno 13) a PermissionError, and any other
// failure of the library (not an HDF5 file, a truncated file, a failed read) a plain OSError.
// `action` says what was being done; the stack follows it.
[[noreturn]] void throw_error(const char* action);

inline hid_t check_id(hid_t id, const char* action) {
  if (id < 0) throw_error(action);
  return id;
}

inline herr_t check(herr_t status, const char* action) {
  if (status < 0) throw_error(action);
  return status;
}

inline htri_t check_tri(htri_t status, const char* action) {
  if (status < 0) throw_error(action);
  return status;
}

}  // namespace tessera_plus::h5
