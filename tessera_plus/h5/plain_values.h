// What a plain HDF5 reader (one that knows nothing of the journal) sees of a file, for tests that
// compare it with what a file held before and after an update.
#pragma once

#include <string>

namespace tessera_plus::h5 {

// Every object of the file at `path` by name, and for each dataset its shape, its stored type's
// size and the bytes that reading it whole in that type gives. The file is opened read-only with
// HDF5's default driver, without the journal's recovery. OSError when HDF5 cannot open or read it.
std::string plain_values(const std::string& path);

}  // namespace tessera_plus::h5
