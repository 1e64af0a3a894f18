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

// The stored chunk that an append writes again whole (with its old rows first). A reader with
// file locking off that holds the file across the update keeps reading that chunk where the old
// chunk index says, for as many bytes as it says; every byte there must still inflate to the old
// rows. So the chunk is held back until every new chunk of the session is written, and then:
// - when the new stream fits the old place, it is padded to the old size and HDF5 writes it over
//   the old one in place (nothing is freed): the old reader inflates the new stream, whose rows
//   begin with the old ones, and ignores the padding after its end;
// - when the chunk has filled up and padding would waste much, it is stored at its own size: HDF5
//   frees the old place and puts it there (the same start, so the same reading as above) or
//   elsewhere; nothing is allocated after it in the session, so nothing else lands there;
// - when it needs more room, it gets room to grow (partial_chunk_room) and, where the old place
//   and the free space around it could hold that much, more than they could; with the end of
//   the file held first (h5::EndBlocker), since HDF5 would hand freed space there back whatever
//   the size, it then lands elsewhere instead of over the old bytes.
// Padding never makes a stream longer than deflate's worst case for the chunk, which every reader
// accepts. Empty when there is nothing to write again.
class HeldBackChunk {
 public:
  HeldBackChunk() = default;
  // `filled_bytes` of the chunk's `chunk_bytes` hold rows (all of them: the chunk is full).
  HeldBackChunk(h5::Dataset& ds, h5::Size first_row, std::size_t chunk_bytes,
                std::size_t filled_bytes, std::span<const std::byte> stream)
      : ds_(&ds),
        first_row_(first_row),
        chunk_bytes_(chunk_bytes),
        filled_bytes_(filled_bytes),
        stream_(stream.begin(), stream.end()) {}
  void write();

 private:
  h5::Dataset* ds_ = nullptr;
  h5::Size first_row_ = 0;
  std::size_t chunk_bytes_ = 0;
  std::size_t filled_bytes_ = 0;
  std::vector<std::byte> stream_;
};

// The stored size a partial chunk of `chunk_bytes`, `filled_bytes` of which hold rows, gets for a
// stream of `stream_bytes`: room for the rows still to come at the rate so far and a quarter more,
// so that the appends until it fills rewrite it in place, within deflate's worst case.
std::size_t partial_chunk_room(std::size_t stream_bytes, std::size_t chunk_bytes,
                               std::size_t filled_bytes);

// Grows `ds` by `rows`. When the dataset stores `layout`
// byte for byte under deflate alone (h5::Dataset::deflate_chunk_rows), the extent is set first,
// the rows of the last partial chunk already stored are read back and joined with the new ones,
// and that chunk and every later one are deflated by `deflater` and stored whole, the last
// zero-padded to the full chunk length. Otherwise the records go through HDF5's own pipeline.
void append_deflated(h5::Dataset& ds, const RecordRows& rows, ChunkDeflater& deflater);
// The same, except that the stored chunk written again is handed back for the caller to write
// once every dataset of the session has its new chunks.
HeldBackChunk append_deflated_holding_back(h5::Dataset& ds, const RecordRows& rows,
                                           ChunkDeflater& deflater);

}  // namespace tessera_plus::bundle
