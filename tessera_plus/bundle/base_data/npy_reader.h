// Reading integer arrays from NPY files, the single-array format in which the host stores the
// trading calendar (trading_dates.npy).
#pragma once

#include <cstddef>
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
// A FIFO or device at `path` is refused (OSError) without blocking, as is a file over 64 MiB.
std::vector<std::int64_t> read_npy_int_array(const std::string& path);

// The same from the bytes of a file; `path` only names it in messages. When `dimensions` is not
// null it receives the number of dimensions of the stored shape (0 for a scalar).
std::vector<std::int64_t> parse_npy_int_array(const std::string& content, const std::string& path,
                                              std::size_t* dimensions);

// The trading calendar trading_dates.npy: read_npy_int_array, then check_trading_calendar. The
// checkers judge files against it, so a calendar that is reversed, negated or of the wrong kind
// must stop them before any file is called broken (and offered for deletion).
std::vector<std::int64_t> read_trading_calendar(const std::string& path);

// ValueError (one line naming `path` and the first fault) unless `dates` is a one-dimensional,
// non-empty, strictly ascending array of real dates YYYYMMDD from 19900101 to 21001231.
void check_trading_calendar(const std::vector<std::int64_t>& dates, std::size_t dimensions,
                            const std::string& path);

}  // namespace tessera_plus::bundle
