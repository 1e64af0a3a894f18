// zlib streams (RFC 1950) through libdeflate: what HDF5's deflate filter stores in every chunk,
// made and read several times faster than zlib itself, byte-compatible with any zlib reader.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

struct libdeflate_compressor;
struct libdeflate_decompressor;

namespace tessera_plus {

// One compressor at one level. Not thread-safe: give each thread its own.
class DeflateEncoder {
 public:
  // `level` 1 (fastest) to 12 (smallest); libdeflate's levels above 9 search harder than zlib's 9.
  explicit DeflateEncoder(int level);
  int level() const { return level_; }
  // `input` as one zlib stream, appended to `out`; returns the stream's length.
  std::size_t compress(std::span<const std::byte> input, std::vector<std::byte>& out);

 private:
  struct Free {
    void operator()(libdeflate_compressor* c) const;
  };
  std::unique_ptr<libdeflate_compressor, Free> compressor_;
  int level_;
};

// One decompressor. Not thread-safe: give each thread its own.
class DeflateDecoder {
 public:
  DeflateDecoder();
  // Inflates the zlib stream `input` into `out`, which must be exactly as long as the stream's
  // contents (a chunk's uncompressed size is known from its dataset). ValueError when the stream is
  // damaged, longer or shorter than `out`, or fails its checksum.
  void decompress(std::span<const std::byte> input, std::span<std::byte> out);

 private:
  struct Free {
    void operator()(libdeflate_decompressor* d) const;
  };
  std::unique_ptr<libdeflate_decompressor, Free> decompressor_;
};

}  // namespace tessera_plus
