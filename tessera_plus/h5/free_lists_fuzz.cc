#include <hdf5.h>

#include "tessera_plus/base/errors.h"
#include "tessera_plus/h5/fuzz_internal.h"

namespace tessera_plus::h5::fuzz {

void keep_free_lists() {
  // -1: no limit, for the global and per-list sizes of the regular, array and block lists.
  if (H5set_free_list_limits(-1, -1, -1, -1, -1, -1) < 0) {
    throw Error("HDF5 refused to lift its free-list limits");
  }
}

}  // namespace tessera_plus::h5::fuzz
