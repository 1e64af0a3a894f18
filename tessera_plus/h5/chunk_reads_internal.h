// Reads of chunked datasets past HDF5's read path. Deflate chunks: each chunk is fetched as stored
// (H5Dread_chunk), inflated by libdeflate into one buffer of exactly a chunk, and the wanted
// members are copied out of it. HDF5's own path allocates and clears a type-conversion and a
// background buffer of a megabyte for every read, which would be most of the cost of checking a
// small file. Internal to the HDF5 layer; callers validate the stored type first
// (check_stored_type).
#pragma once

#include <hdf5.h>

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "tessera_plus/h5/record_layout.h"

namespace tessera_plus::h5 {

class Dataset;
struct DecodeScratch;

// A chunk larger than this is not one that any writer of bundle files makes; reading it would mean
// allocating whatever a damaged header claims.
inline constexpr std::size_t kMaxChunkBytes = std::size_t{64} << 20;

// Deflate at its worst stores the data in raw blocks: 5 bytes per 64 KB plus the zlib frame. A
// stored chunk beyond this cannot be a stream of the chunk's size.
inline std::size_t max_stored_size(std::size_t chunk_bytes) {
  return chunk_bytes + chunk_bytes / 1024 + 64;
}

// A number as stored inside a record: one of the standard integer or IEEE float types.
struct StoredNumber {
  std::size_t offset = 0;
  std::size_t size = 0;
  bool is_float = false;
  bool is_signed = false;
  bool big_endian = false;
};

// One member to copy: where it is stored and where (and as what) the caller wants it.
struct FieldCopy {
  StoredNumber from;
  std::size_t to = 0;
  Kind kind = Kind::kInt64;
};

// Chunked storage that direct reads can serve.
struct DeflateChunks {
  hsize_t chunk_rows = 0;
  std::size_t record = 0;  // stored record size
};

// Whether the dataset-creation properties `dcpl` say chunked storage with deflate as the only
// filter: the layout whose chunks the writers and readers deflate and inflate themselves.
bool chunked_with_deflate_alone(hid_t dcpl);

// The storage of `dataset` when it is chunked with deflate as its only filter, rows never written
// read as zeros, and the file is open read-only (so no chunk of it waits in HDF5's cache
// unwritten); nullopt when HDF5's own read path must serve it. The file's damage when a chunk is
// larger than kMaxChunkBytes.
std::optional<DeflateChunks> deflate_chunks(hid_t dataset, hid_t stored_type,
                                            const std::string& where);

// Where each of `fields` lies in the stored type and how it converts: a compound's members by name,
// a plain number as the one field. nullopt when HDF5's own path must convert a member: a float into
// an integer field (which it refuses), or a big-endian value that the field may not hold.
std::optional<std::vector<FieldCopy>> field_copies(hid_t stored_type,
                                                   std::span<const Field> fields);

// Reads rows [start, start + count) of `ds` into records of `out_record` bytes at `out`, converting
// numbers as HDF5 does (byte order, widening, clamping to the field's range). A chunk that is
// larger than its contents can need, or whose deflate stream is damaged, is the file's damage.
void read_deflate_chunks(const Dataset& ds, const DeflateChunks& storage,
                         std::span<const FieldCopy> fields, std::size_t out_record, hsize_t start,
                         hsize_t count, std::byte* out, const std::string& where);

// Chunked storage whose chunks Blosc alone compresses: its shape, as for deflate.
using BloscChunks = DeflateChunks;

// The storage of `dataset`, of stored records of `record` bytes, when it is chunked with Blosc as
// its only filter and the file is open read-only (so that every chunk can be fetched as stored);
// nullopt otherwise. The file's damage when a chunk is larger than kMaxChunkBytes.
std::optional<BloscChunks> blosc_chunks(hid_t dataset, std::size_t record,
                                        const std::string& where);

// One Blosc chunk as stored, decompressed into `out` (exactly a chunk long); the chunk's header is
// validated against the stored bytes first. The file's damage otherwise.
void decode_blosc_chunk(const std::vector<std::byte>& stored, std::vector<std::byte>& out,
                        hsize_t first_row, const std::string& where);

// Fetches each chunk of rows [0, rows) of `ds` as stored and decompresses it into `scratch.rows`.
// The file's damage unless every chunk written decodes to exactly a chunk of records (a chunk
// stored raw, the optional filter skipped, must be exactly that long itself).
void verify_blosc_chunks(const Dataset& ds, const BloscChunks& storage, hsize_t rows,
                         DecodeScratch& scratch, const std::string& where);

}  // namespace tessera_plus::h5
