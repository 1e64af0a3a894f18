// Checks of a stored dataset made before any of its rows is read. A damaged file can describe a
// record type whose members run past the record or overlap (HDF5's type conversion then writes
// out of bounds and the process dies), or an extent of billions of rows over a few kilobytes of
// storage (a reader then allocates gigabytes for rows that do not exist). Everything here looks
// at metadata only. Internal to the HDF5 layer.
#pragma once

#include <hdf5.h>

#include <optional>
#include <string>

#include "tessera_plus/h5/record_layout.h"

namespace tessera_plus::h5 {

// A deflate stream cannot describe more than 258 bytes with a 1-bit literal/length code and a
// 1-bit distance code, so no deflate chunk expands beyond 1032 times its stored size; LZ4 inside
// Blosc stays below 256 times. A filtered dataset whose logical size exceeds this many times its
// allocated storage cannot be what was stored.
inline constexpr unsigned long long kMaxFilterExpansion = 1100;

// The biggest record any bundle file uses is far below this; a larger stored size is damage.
inline constexpr std::size_t kMaxRecordSize = 4096;
inline constexpr int kMaxMembers = 128;

// Throws the file's damage (OSError, errno 0) naming `where` unless `type` is one of the standard
// integer or IEEE float types, or a compound of such members with unique non-empty names, each
// wholly inside the record and none overlapping another.
void check_stored_type(hid_t type, const std::string& where);

// Throws the file's damage unless the stored compound `type` has `field` with a class that can be
// converted to the field's kind (integers for integer fields, integers or floats for floats);
// KeyError when the member is missing, as a reader of a named field expects.
void check_stored_field(hid_t type, const Field& field, const std::string& where);

// Throws the file's damage unless `dataset`, of stored records of `record` bytes, has rank 1 and an
// extent that its allocated storage can plausibly hold (see kMaxFilterExpansion). Returns the
// extent.
hsize_t checked_extent(hid_t dataset, std::size_t record, const std::string& where);

// The chunk length, in rows, of a chunked dataset's creation properties `dcpl`; damage unless the
// chunks are one-dimensional and not empty.
hsize_t chunk_rows(hid_t dcpl, const std::string& where);

// Where the chunk holding `first_row` is stored: its address in the file and its stored size.
struct StoredChunk {
  haddr_t address = 0;
  hsize_t size = 0;
};

// The stored chunk holding `first_row`, or nothing when that chunk was never written.
std::optional<StoredChunk> allocated_chunk(hid_t dataset, hsize_t first_row);

// The file's damage: an OSError with errno 0, as for a file HDF5 cannot open at all.
[[noreturn]] void throw_damage(const std::string& where, const std::string& what);

}  // namespace tessera_plus::h5
