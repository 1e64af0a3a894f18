// The Blosc HDF5 filter (id 32001) as this library provides it when HDF5 finds no Blosc plugin on
// its plugin path: the same client values, the same chunk format, so files written or read with it
// are those the standard plugin writes and reads. Used by ensure_initialized only.
#pragma once

namespace tessera_plus::h5 {

// Registers the filter with HDF5. False when HDF5 refuses it.
bool register_builtin_blosc_filter();

}  // namespace tessera_plus::h5
