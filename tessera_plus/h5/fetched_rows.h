// Rows of a chunked dataset fetched as stored and decoded afterwards on any thread. The library is
// used by one thread at a time and only reads the stored bytes; the decompression, the bulk of a
// read, then runs in parallel and without anybody's lock (the Python readers release theirs).
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <vector>

#include "tessera_plus/h5/handle.h"
#include "tessera_plus/h5/record_layout.h"

namespace tessera_plus::h5 {

class Dataset;

class FetchedRows {
 public:
  // Rows [start, start + count) of `ds` as records of `layout`, after the checks every read makes
  // (Dataset::read). When the dataset is chunked with deflate or Blosc as its only filter, opened
  // read-only, and stores exactly `layout` (the same members at the same offsets, little-endian,
  // records of the same size), only the chunks holding those rows are fetched, still compressed;
  // otherwise the rows are read through Dataset::read now, already decoded.
  static FetchedRows fetch(const Dataset& ds, const RecordLayout& layout, Size start, Size count);

  Size rows() const { return count_; }
  std::size_t record_size() const { return record_; }
  // The pieces that decode independently: a chunk each, or one of rows read already.
  std::size_t pieces() const { return pieces_.size(); }
  // The first row that piece `i` yields, counted from the fetch's `start`.
  Size piece_first(std::size_t i) const;
  // Decodes piece `i` and returns those of its records that lie in the fetched range, packed, in
  // `scratch` or in the piece itself; valid until `scratch` is used again. Makes no HDF5 call, so
  // it may run on any thread, one `scratch` per thread. The file's damage (OSError, errno 0) when a
  // chunk does not decode to exactly a chunk of records.
  std::span<const std::byte> decode(std::size_t i, std::vector<std::byte>& scratch) const;

 private:
  enum class Codec { kPlain, kDeflate, kBlosc };
  struct Piece {
    Size first_row = 0;  // of the chunk, in the dataset
    unsigned filter_mask = 0;
    std::vector<std::byte> bytes;  // as stored; empty for a chunk never written
  };
  FetchedRows(Codec codec, Size start, Size count, Size chunk_rows, std::size_t record,
              std::string where)
      : codec_(codec),
        start_(start),
        count_(count),
        chunk_rows_(chunk_rows),
        record_(record),
        where_(std::move(where)) {}

  Codec codec_;
  Size start_;
  Size count_;
  Size chunk_rows_;
  std::size_t record_;
  std::string where_;
  std::vector<Piece> pieces_;
};

}  // namespace tessera_plus::h5
