#include "tessera_plus/bundle/base_data/npy_writer.h"

#include <cstring>

#include <fmt/format.h>

namespace tessera_plus::bundle {

std::string npy_bytes(const std::vector<std::int64_t>& values) {
  std::string header =
      fmt::format("{{'descr': '<i8', 'fortran_order': False, 'shape': ({},), }}", values.size());
  // Magic (6) + version (2) + length (2) + header must be a multiple of 64, ending in '\n'.
  std::size_t total = 10 + header.size() + 1;
  header.append((64 - total % 64) % 64, ' ');
  header += '\n';
  std::string out("\x93NUMPY\x01\x00", 8);
  out.push_back(static_cast<char>(header.size() & 0xff));
  out.push_back(static_cast<char>(header.size() >> 8));
  out += header;
  std::size_t offset = out.size();
  out.resize(offset + values.size() * sizeof(std::int64_t));
  // x86-64 is little-endian, as the header declares.
  std::memcpy(out.data() + offset, values.data(), values.size() * sizeof(std::int64_t));
  return out;
}

}  // namespace tessera_plus::bundle
