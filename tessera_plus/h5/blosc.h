// Dataset-creation options for the Blosc HDF5 filter.
#pragma once

#include <string_view>

#include "tessera_plus/h5/dataset.h"

namespace tessera_plus::h5 {

// Filter id registered with the HDF Group for Blosc.
inline constexpr int kBloscFilterId = 32001;

// Blosc with `compressor` ("blosc:blosclz", "blosc:lz4", "blosc:lz4hc", "blosc:snappy",
// "blosc:zlib", "blosc:zstd") at `level` 0-9, byte shuffle on. The seven client values are
// {0, 0, 0, 0, level, shuffle, compressor code}; the filter fills in the first four itself.
// Unknown compressors and levels outside 0-9 are a ValueError. Registers the filter with HDF5.
h5::Creation blosc_opts(int level, std::string_view compressor);

// Writes `count` packed records of `record_size` bytes as rows 0 to count - 1 of `dataset`, a
// chunked dataset whose only filter is Blosc (created with blosc_opts and an extent of at least
// `count`). Each chunk is compressed here with the settings that the filter recorded in the file
// and stored past the pipeline, so the bytes on disk are those the filter would have written,
// without HDF5's copies and conversion: the last partial chunk is padded with zero records (the
// fill value) as HDF5 pads it, and a chunk that Blosc cannot shrink is stored raw with the filter
// marked as skipped, as the optional filter does. ValueError for any other pipeline. `scratch`
// holds the compressed chunk; a caller writing many datasets passes the same one to each, so that a
// day's chunk-sized buffer is not allocated and faulted in afresh for every day.
void write_blosc_rows(h5::Dataset& dataset, const void* records, std::size_t count,
                      std::size_t record_size, std::vector<std::byte>& scratch);

}  // namespace tessera_plus::h5
