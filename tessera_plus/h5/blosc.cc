#include "tessera_plus/h5/blosc.h"

#include <blosc.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstring>
#include <vector>

#include <fmt/format.h>

#include "tessera_plus/base/errors.h"
#include "tessera_plus/h5/error_internal.h"

namespace tessera_plus::h5 {

h5::Creation blosc_opts(int level, std::string_view compressor) {
  static constexpr std::array<std::string_view, 6> kNames = {
      "blosc:blosclz", "blosc:lz4", "blosc:lz4hc", "blosc:snappy", "blosc:zlib", "blosc:zstd"};
  unsigned code = 0;
  while (code < kNames.size() && kNames[code] != compressor) ++code;
  if (code == kNames.size()) {
    throw ValueError(fmt::format("unknown Blosc compressor '{}'; use one of {}", compressor,
                                 fmt::join(kNames, ", ")));
  }
  if (level < 0 || level > 9) {
    throw ValueError(fmt::format("Blosc level {} is outside 0-9", level));
  }
  h5::ensure_initialized();
  constexpr unsigned kByteShuffle = 1;
  h5::Creation creation;
  creation.filters.push_back(
      {kBloscFilterId, {0, 0, 0, 0, static_cast<unsigned>(level), kByteShuffle, code}});
  return creation;
}

namespace {

// What the filter needs to compress a chunk as HDF5 would have it compress it.
struct ChunkCodec {
  hsize_t chunk_rows = 0;
  std::size_t typesize = 0;
  int level = 0;
  int shuffle = 0;
  const char* compressor = nullptr;
};

ChunkCodec codec_of(const h5::Dataset& dataset) {
  h5::PropListId dcpl = dataset.creation_plist();
  ChunkCodec codec;
  if (H5Pget_layout(dcpl.get()) != H5D_CHUNKED || H5Pget_nfilters(dcpl.get()) != 1) {
    throw ValueError("Blosc rows go only into a chunked dataset with Blosc as its only filter");
  }
  h5::check(H5Pget_chunk(dcpl.get(), 1, &codec.chunk_rows), "reading the chunk length");
  unsigned flags = 0;
  std::array<unsigned, 7> cd{};
  std::size_t n = cd.size();
  H5Z_filter_t id = H5Pget_filter2(dcpl.get(), 0, &flags, &n, cd.data(), 0, nullptr, nullptr);
  // The filter fills in the first four values (typesize among them) when the dataset is created.
  if (id != kBloscFilterId || n < cd.size()) {
    throw ValueError("Blosc rows go only into a chunked dataset with Blosc as its only filter");
  }
  codec.typesize = cd[2];
  codec.level = static_cast<int>(cd[4]);
  codec.shuffle = static_cast<int>(cd[5]);
  if (blosc_compcode_to_compname(static_cast<int>(cd[6]), &codec.compressor) < 0) {
    throw ValueError(fmt::format("Blosc compressor code {} is not available", cd[6]));
  }
  return codec;
}

}  // namespace

void write_blosc_rows(h5::Dataset& dataset, const void* records, std::size_t count,
                      std::size_t record_size, std::vector<std::byte>& scratch) {
  if (count == 0) return;
  const ChunkCodec codec = codec_of(dataset);
  const std::size_t chunk_bytes = codec.chunk_rows * record_size;
  if (blosc_set_compressor(codec.compressor) < 0) {
    throw ValueError(fmt::format("Blosc compressor '{}' is not available", codec.compressor));
  }
  std::vector<std::byte> padded;
  scratch.resize(chunk_bytes);
  const auto* bytes = static_cast<const std::byte*>(records);
  for (std::size_t first = 0; first < count; first += codec.chunk_rows) {
    const std::size_t rows = std::min<std::size_t>(codec.chunk_rows, count - first);
    const std::byte* chunk = bytes + first * record_size;
    if (rows < codec.chunk_rows) {
      padded.assign(chunk_bytes, std::byte{0});
      std::memcpy(padded.data(), chunk, rows * record_size);
      chunk = padded.data();
    }
    // As the filter does: the output may be no larger than the input, and 0 means "no gain".
    const int size = blosc_compress(codec.level, codec.shuffle, codec.typesize, chunk_bytes, chunk,
                                    scratch.data(), scratch.size());
    if (size < 0) throw ValueError("Blosc failed to compress a chunk");
    if (size == 0) {
      constexpr unsigned kBloscSkipped = 1;  // bit 0: the pipeline's first (and only) filter
      dataset.write_chunk(first, chunk, chunk_bytes, kBloscSkipped);
    } else {
      dataset.write_chunk(first, scratch.data(), static_cast<std::size_t>(size));
    }
  }
}

}  // namespace tessera_plus::h5
