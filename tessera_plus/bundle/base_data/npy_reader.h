// Reading integer arrays from NPY files, the single-array format in which the host stores the
// trading calendar (trading_dates.npy).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tessera_plus::bundle {

// The elements of the integer array in the NPY file at `path`, in storage order (C order; a
// multi-dimensional array comes back flattened). Accepts format versions 1.0, 2.0 and 3.0, signed
// and unsigned integers of 1, 2, 4 or 8 bytes, and either byte order.
//
// OSError (of the errno's kind) when the file cannot be opened or read. ValueError for anything
// that is not such an array: a bad magic string or header, floats, objects, structured or
// unsigned 64-bit values beyond the signed range, Fortran order with more than one dimension, or
// fewer data bytes than the header promises.
std::vector<std::int64_t> read_npy_int_array(const std::string& path);

}  // namespace tessera_plus::bundle
