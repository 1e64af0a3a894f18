#include "tessera_plus/base/deflate.h"

#include <libdeflate.h>

#include <new>
#include <string>

#include "tessera_plus/base/errors.h"

namespace tessera_plus {

void DeflateEncoder::Free::operator()(libdeflate_compressor* c) const {
  libdeflate_free_compressor(c);
}

void DeflateDecoder::Free::operator()(libdeflate_decompressor* d) const {
  libdeflate_free_decompressor(d);
}

DeflateEncoder::DeflateEncoder(int level)
    : compressor_(libdeflate_alloc_compressor(level)), level_(level) {
  if (!compressor_) {
    if (level < 0 || level > 12) throw ValueError("deflate level " + std::to_string(level));
    throw std::bad_alloc();
  }
}

std::size_t DeflateEncoder::compress(std::span<const std::byte> input,
                                     std::vector<std::byte>& out) {
  const std::size_t start = out.size();
  const std::size_t bound = libdeflate_zlib_compress_bound(compressor_.get(), input.size());
  out.resize(start + bound);
  const std::size_t written = libdeflate_zlib_compress(compressor_.get(), input.data(),
                                                       input.size(), out.data() + start, bound);
  // The bound is what libdeflate promises to fit; a zero here is a broken promise, not bad input.
  if (written == 0) throw ValueError("deflate: output exceeded its bound");
  out.resize(start + written);
  return written;
}

DeflateDecoder::DeflateDecoder() : decompressor_(libdeflate_alloc_decompressor()) {
  if (!decompressor_) throw std::bad_alloc();
}

void DeflateDecoder::decompress(std::span<const std::byte> input, std::span<std::byte> out) {
  std::size_t actual = 0;
  const libdeflate_result result = libdeflate_zlib_decompress(
      decompressor_.get(), input.data(), input.size(), out.data(), out.size(), &actual);
  if (result == LIBDEFLATE_SUCCESS && actual == out.size()) return;
  if (result == LIBDEFLATE_SUCCESS || result == LIBDEFLATE_SHORT_OUTPUT) {
    throw ValueError("deflate stream holds " + std::string(actual < out.size() ? "fewer" : "more") +
                     " bytes than its chunk");
  }
  if (result == LIBDEFLATE_INSUFFICIENT_SPACE) {
    throw ValueError("deflate stream holds more bytes than its chunk");
  }
  throw ValueError("deflate stream is damaged");
}

}  // namespace tessera_plus
