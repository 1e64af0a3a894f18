// How tick datasets are compressed. Minute-bar datasets use deflate (minbar_file.h).
#pragma once

#include "tessera_plus/h5/blosc.h"
#include "tessera_plus/h5/dataset.h"

namespace tessera_plus::bundle {

// Blosc with LZ4 at level 9, for tick datasets; computed once at start-up.
inline const h5::Creation COMPRESSION_KWARGS = h5::blosc_opts(9, "blosc:lz4");

}  // namespace tessera_plus::bundle
