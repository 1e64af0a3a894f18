#include "tessera_plus/h5/blosc.h"

#include <array>

#include <fmt/format.h>

#include "tessera_plus/base/errors.h"
#include "tessera_plus/h5/error_internal.h"

namespace tessera_plus::tessera {

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

}  // namespace tessera_plus::tessera
