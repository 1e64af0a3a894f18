// Dataset-creation options for the Blosc HDF5 filter.
#pragma once

#include <string_view>

#include "tessera_plus/h5/dataset.h"

namespace tessera_plus::tessera {

// Filter id registered with the HDF Group for Blosc.
inline constexpr int kBloscFilterId = 32001;

// Blosc with `compressor` ("blosc:blosclz", "blosc:lz4", "blosc:lz4hc", "blosc:snappy",
// "blosc:zlib", "blosc:zstd") at `level` 0-9, byte shuffle on. The seven client values are
// {0, 0, 0, 0, level, shuffle, compressor code}; the filter fills in the first four itself.
// Unknown compressors and levels outside 0-9 are a ValueError. Registers the filter with HDF5.
h5::Creation blosc_opts(int level, std::string_view compressor);

}  // namespace tessera_plus::tessera
