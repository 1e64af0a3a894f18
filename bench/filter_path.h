// The writers' path before they compressed chunks themselves: HDF5's deflate filter (zlib) over
// rows handed to H5Dwrite. Kept only for benchmarks to compare against.
#pragma once

#include <cstddef>

#include "tessera_plus/h5/dataset.h"
#include "tessera_plus/h5/record_layout.h"

namespace tessera_plus::bench {

// Appends `count` records to the end of `ds`, which HDF5 compresses chunk by chunk.
inline void append_through_filter(h5::Dataset& ds, const h5::RecordLayout& layout,
                                  const void* records, std::size_t count) {
  const h5::Size length = ds.length();
  ds.resize(length + count);
  ds.write(layout, length, count, records);
}

}  // namespace tessera_plus::bench
