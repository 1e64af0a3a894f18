#include "tests/support/stored_chunks.h"

#include "tessera_plus/h5/file.h"

namespace tessera_plus::testing {

StoredDataset stored_dataset(const std::string& path, const std::string& name,
                             h5::Size chunk_rows) {
  h5::File file = h5::File::open(path, h5::Mode::kReadOnly);
  const h5::Dataset ds = h5::Dataset::open(file, name);
  StoredDataset stored{.length = ds.length(), .chunks = {}};
  for (h5::Size row = 0; row < stored.length; row += chunk_rows) {
    StoredChunk& chunk = stored.chunks.emplace_back();
    chunk.filter_mask = ds.read_chunk(row, std::size_t{1} << 24, chunk.bytes);
  }
  return stored;
}

}  // namespace tessera_plus::testing
