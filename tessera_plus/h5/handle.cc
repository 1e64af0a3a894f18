#include "tessera_plus/h5/handle.h"

#include <hdf5.h>

#include <type_traits>

#include "tessera_plus/h5/error_internal.h"

namespace tessera_plus::h5 {

static_assert(std::is_same_v<Id, hid_t>, "h5::Id must be HDF5's hid_t");
static_assert(std::is_same_v<Size, hsize_t>, "h5::Size must be HDF5's hsize_t");

void Handle::reset() noexcept {
  if (id_ >= 0) {
    H5Idec_ref(id_);
    H5Eclear2(H5E_DEFAULT);
  }
  id_ = kInvalidId;
}

void Handle::close() {
  if (id_ < 0) return;
  if (H5Idec_ref(std::exchange(id_, kInvalidId)) < 0) throw_error("closing an HDF5 object");
}

}  // namespace tessera_plus::h5
