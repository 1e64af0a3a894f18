// Plain (non-compound) little-endian int64 datasets, as in the suspension records.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tessera_plus::h5 {

class File;

// Creates `name` in `file` holding `values`, contiguous and uncompressed.
void write_int64_dataset(File& file, const std::string& name,
                         const std::vector<std::int64_t>& values);

}  // namespace tessera_plus::h5
