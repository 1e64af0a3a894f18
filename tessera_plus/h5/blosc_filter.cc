#include <blosc.h>
#include <hdf5.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>

#include "tessera_plus/h5/blosc.h"
#include "tessera_plus/h5/blosc_filter_internal.h"

namespace tessera_plus::h5 {
namespace {

// The values the filter records in each dataset, after the client's: {filter revision, Blosc
// format, type size, chunk size in bytes, level, shuffle, compressor code}.
constexpr unsigned kFilterRevision = 2;
constexpr std::size_t kValues = 7;

// At dataset creation: fills in the first four values from the dataset's type and chunk shape.
herr_t set_local(hid_t dcpl, hid_t type, hid_t) {
  unsigned flags = 0;
  std::array<unsigned, kValues> cd{};
  std::size_t n = cd.size();
  if (H5Pget_filter_by_id2(dcpl, kBloscFilterId, &flags, &n, cd.data(), 0, nullptr, nullptr) < 0) {
    return -1;
  }
  n = std::max<std::size_t>(n, 4);
  std::size_t typesize = H5Tget_size(type);
  if (typesize == 0) return -1;
  if (typesize > BLOSC_MAX_TYPESIZE) typesize = 1;
  std::array<hsize_t, H5S_MAX_RANK> chunk{};
  const int rank = H5Pget_chunk(dcpl, H5S_MAX_RANK, chunk.data());
  if (rank <= 0) return -1;
  std::size_t bytes = typesize;
  for (int i = 0; i < rank; ++i) bytes *= chunk[i];
  cd[0] = kFilterRevision;
  cd[1] = BLOSC_VERSION_FORMAT;
  cd[2] = static_cast<unsigned>(typesize);
  cd[3] = static_cast<unsigned>(bytes);
  return H5Pmodify_filter(dcpl, kBloscFilterId, flags, n, cd.data());
}

// Compresses into a buffer no larger than the input; 0 (the optional filter is then skipped for
// this chunk) when Blosc cannot shrink it.
std::size_t compress(std::size_t n, const unsigned cd[], std::size_t nbytes, std::size_t* buf_size,
                     void** buf) {
  const int level = n > 4 ? static_cast<int>(cd[4]) : 5;
  const int shuffle = n > 5 ? static_cast<int>(cd[5]) : 1;
  const char* compressor = "blosclz";
  if (n > 6 && blosc_compcode_to_compname(static_cast<int>(cd[6]), &compressor) < 0) return 0;
  if (blosc_set_compressor(compressor) < 0) return 0;
  void* out = std::malloc(nbytes);
  if (out == nullptr) return 0;
  const int size = blosc_compress(level, shuffle, cd[2], nbytes, *buf, out, nbytes);
  if (size <= 0) {
    std::free(out);
    return 0;
  }
  std::free(*buf);
  *buf = out;
  *buf_size = nbytes;
  return static_cast<std::size_t>(size);
}

std::size_t decompress(std::size_t* buf_size, void** buf) {
  std::size_t raw = 0, compressed = 0, block = 0;
  blosc_cbuffer_sizes(*buf, &raw, &compressed, &block);
  void* out = std::malloc(raw == 0 ? 1 : raw);
  if (out == nullptr) return 0;
  const int size = blosc_decompress(*buf, out, raw);
  if (size <= 0) {
    std::free(out);
    return 0;
  }
  std::free(*buf);
  *buf = out;
  *buf_size = raw;
  return static_cast<std::size_t>(size);
}

std::size_t filter(unsigned flags, std::size_t n, const unsigned cd[], std::size_t nbytes,
                   std::size_t* buf_size, void** buf) {
  if (n < 4) return 0;
  return (flags & H5Z_FLAG_REVERSE) ? decompress(buf_size, buf)
                                    : compress(n, cd, nbytes, buf_size, buf);
}

}  // namespace

bool register_builtin_blosc_filter() {
  static const H5Z_class2_t kClass = {H5Z_CLASS_T_VERS,
                                      static_cast<H5Z_filter_t>(kBloscFilterId),
                                      1,
                                      1,
                                      "blosc",
                                      nullptr,
                                      set_local,
                                      filter};
  return H5Zregister(&kClass) >= 0;
}

}  // namespace tessera_plus::h5
