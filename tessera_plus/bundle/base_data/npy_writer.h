// The trading calendar's file format: a one-dimensional little-endian int64 array in NPY 1.0.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tessera_plus::bundle {

std::string npy_bytes(const std::vector<std::int64_t>& values);

}  // namespace tessera_plus::bundle
