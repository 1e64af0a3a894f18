#include "tessera_plus/base/deflate.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "tessera_plus/base/errors.h"

namespace tessera_plus {
namespace {

std::vector<std::byte> sample_bytes(std::size_t n) {
  std::vector<std::byte> bytes(n);
  std::uint32_t x = 12345;
  for (std::size_t i = 0; i < n; ++i) {
    x = x * 1103515245u + 12345u;
    bytes[i] = static_cast<std::byte>((i % 7 == 0) ? (x >> 24) : i / 64);
  }
  return bytes;
}

TEST(Deflate, EveryLevelRoundTripsAndAppendsAfterWhatTheBufferHeld) {
  const std::vector<std::byte> input = sample_bytes(40000);
  for (int level : {1, 6, 9, 12}) {
    DeflateEncoder encoder(level);
    std::vector<std::byte> out(3, std::byte{0x7f});
    const std::size_t n = encoder.compress(input, out);
    ASSERT_EQ(out.size(), 3 + n);
    EXPECT_EQ(out[0], std::byte{0x7f});
    EXPECT_EQ(static_cast<unsigned>(out[3]) & 0x0f, 8u) << "not a zlib stream";
    std::vector<std::byte> back(input.size());
    DeflateDecoder().decompress(std::span(out).subspan(3), back);
    EXPECT_EQ(back, input) << "level " << level;
  }
}

TEST(Deflate, DamagedOrMisSizedStreamsAreValueErrors) {
  const std::vector<std::byte> input = sample_bytes(5000);
  std::vector<std::byte> stream;
  DeflateEncoder(9).compress(input, stream);
  DeflateDecoder decoder;
  std::vector<std::byte> shorter(input.size() - 1), longer(input.size() + 1);
  EXPECT_THROW(decoder.decompress(stream, shorter), ValueError);
  EXPECT_THROW(decoder.decompress(stream, longer), ValueError);
  std::vector<std::byte> damaged = stream;
  damaged[damaged.size() / 2] ^= std::byte{0x5a};
  std::vector<std::byte> out(input.size());
  EXPECT_THROW(decoder.decompress(damaged, out), ValueError);
  EXPECT_THROW(decoder.decompress(std::span(stream).first(stream.size() / 2), out), ValueError);
  EXPECT_THROW(DeflateEncoder(13), ValueError);
}

}  // namespace
}  // namespace tessera_plus
