// Appending records to a deflated dataset by compressing whole chunks here and storing them as they
// are, so that the encoder (libdeflate, several times faster than the zlib inside HDF5's filter)
// and the number of threads are ours to choose. The dataset keeps its pipeline, so any HDF5
// reader inflates the chunks, and any other writer that appends later compresses as it says.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "tessera_plus/base/deflate.h"
#include "tessera_plus/h5/dataset.h"
#include "tessera_plus/h5/record_layout.h"

namespace tessera_plus::bundle {

// Compresses chunks on `threads` threads (one encoder each), `level` as DeflateEncoder takes it;
// a run's last chunk, when it is partial, at `partial_level`: that chunk is compressed again by
// every later append until it fills, so it is worth compressing fast rather than small. The streams
// depend only on the input, never on the thread that made them, so the files are the same whatever
// the thread count.
class ChunkDeflater {
 public:
  ChunkDeflater(int level, int partial_level, unsigned threads);

  // The bytes of chunk `k` of a run, copied into `scratch` (chunk-sized) when they are not one
  // piece of memory already; returns the chunk's bytes.
  using ChunkSource =
      std::function<std::span<const std::byte>(std::size_t k, std::vector<std::byte>& scratch)>;
  // Compressed chunk `k`, handed over in order of `k` on the calling thread.
  using ChunkSink = std::function<void(std::size_t k, std::span<const std::byte> stream)>;

  // Compresses chunks 0 to `count` - 1 of `source` and passes each to `sink`; the last one at the
  // partial level when `last_is_partial`. Chunks are taken in batches, so memory holds a few dozen
  // compressed chunks at a time, not the whole run.
  void run(std::size_t count, bool last_is_partial, const ChunkSource& source,
           const ChunkSink& sink);

 private:
  void compress_batch(std::size_t first, std::size_t count, const ChunkSource& source);

  std::vector<DeflateEncoder> encoders_;
  DeflateEncoder partial_encoder_;               // used on the calling thread only
  std::size_t partial_chunk_ = SIZE_MAX;         // chunk of the current run compressed with it
  std::vector<std::vector<std::byte>> scratch_;  // one per thread
  std::vector<std::vector<std::byte>> streams_;  // one per chunk of a batch
};

// `count` records of `*layout`, back to back from `records`.
struct RecordRows {
  const h5::RecordLayout* layout;
  const void* records;
  std::size_t count;
};

// Grows `ds` by `rows`. When the dataset stores `layout`
// byte for byte under deflate alone (h5::Dataset::deflate_chunk_rows), the extent is set first,
// the rows of the last partial chunk already stored are read back and joined with the new ones,
// and that chunk and every later one are deflated by `deflater` and stored whole, the last
// zero-padded to the full chunk length. Otherwise the records go through HDF5's own pipeline.
void append_deflated(h5::Dataset& ds, const RecordRows& rows, ChunkDeflater& deflater);

}  // namespace tessera_plus::bundle
