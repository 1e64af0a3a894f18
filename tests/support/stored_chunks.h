// The chunks of a dataset as the file stores them: compressed bytes and filter mask, chunk by
// chunk, so that tests can say two files hold the same chunks however their layouts differ.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "tessera_plus/h5/dataset.h"

namespace tessera_plus::testing {

struct StoredChunk {
  unsigned filter_mask = 0;
  std::vector<std::byte> bytes;
  bool operator==(const StoredChunk&) const = default;
};

struct StoredDataset {
  h5::Size length = 0;
  std::vector<StoredChunk> chunks;
  bool operator==(const StoredDataset&) const = default;
};

// Dataset `name` of the file at `path`, read chunk by chunk (`chunk_rows` rows each).
StoredDataset stored_dataset(const std::string& path, const std::string& name, h5::Size chunk_rows);

}  // namespace tessera_plus::testing
