// File-mode choice for HDF5 files that the writers update.
#pragma once

#include <string>

#include "tessera_plus/h5/file.h"

namespace tessera_plus::tessera {

// Read-write, creating a missing file.
inline h5::Mode get_h5_mode(const std::string& /*path*/) { return h5::Mode::kAppend; }

}  // namespace tessera_plus::tessera
