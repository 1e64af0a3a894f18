// One-dimensional datasets of packed records, the only kind the bundle files hold.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "tessera_plus/h5/handle.h"
#include "tessera_plus/h5/record_layout.h"

namespace tessera_plus::h5 {

class File;

// Buffers of verify_rows, passed from dataset to dataset so that a day's chunk-sized buffers are
// not allocated and faulted in afresh for every day.
struct DecodeScratch {
  std::vector<std::byte> stored{};
  std::vector<std::byte> rows{};
};

// A dataset-creation filter given by its HDF5 filter id and client values (Blosc, for example).
struct FilterOptions {
  int id;
  std::vector<unsigned> cd_values{};
};

// How a dataset is created. `chunk` 0 means contiguous storage (only valid without filters and
// without `growable`).
struct Creation {
  Size chunk = 0;
  bool growable = false;  // unlimited maximum length
  int deflate = -1;       // gzip level, or -1 for none
  std::vector<FilterOptions> filters{};
};

class Dataset {
 public:
  // Creates `name` holding `count` records of `layout` from `records`. Null `records` leaves the
  // rows to the caller (write_chunk, for one), with the extent already `count`.
  static Dataset create(File& file, const std::string& name, const RecordLayout& layout,
                        const void* records, std::size_t count, const Creation& how);
  // Creates `name` with no rows yet; they come through resize() and write() or write_chunk().
  static Dataset create_empty(File& file, const std::string& name, const RecordLayout& layout,
                              const Creation& how);
  static Dataset open(const File& file, const std::string& name);

  Dataset(Dataset&&) noexcept = default;
  Dataset& operator=(Dataset&&) noexcept = default;

  Id id() const { return id_.get(); }
  // "dataset 'data' of /path/file.h5", as messages about it name it.
  const std::string& description() const { return where_; }
  // The extent as stored; the file's damage (OSError) when the dataset is not one-dimensional.
  Size length() const;
  // The extent after the checks that every read makes first, without reading a row: a stored
  // type of plain numbers or of records of them whose members lie inside the record without
  // overlapping, and an extent that the allocated storage can plausibly hold. Size buffers by
  // this, never by length(). The file's damage (OSError, errno 0, naming file and dataset)
  // otherwise.
  Size readable_length() const;
  void resize(Size length);

  // Reads rows [start, start + count) of the fields of `layout` that the stored type has in
  // common with it (HDF5 matches compound fields by name). Every field of `layout` must be
  // stored (KeyError otherwise) as a number of a kind that converts to it; the checks of
  // readable_length() come first, and rows past it are the file's damage.
  void read(const RecordLayout& layout, Size start, Size count, void* out) const;
  void write(const RecordLayout& layout, Size start, Size count, const void* records);

  // Reads one field of rows [start, start + count). KeyError when the stored type lacks it; the
  // checks of read() otherwise.
  template <typename T>
  std::vector<T> read_field(const Field& field, Size start, Size count) const {
    std::vector<T> values(count);
    read_field_into(field, start, count, values.data());
    return values;
  }
  bool has_field(std::string_view name) const;

  // Decodes every stored row as a reader of the whole dataset would, and keeps nothing: chunks
  // compressed by Blosc alone are fetched as stored and decompressed here, any other storage is
  // read through HDF5. The file's damage (OSError, errno 0, naming the dataset and the chunk) when
  // the checks of readable_length() fail or a chunk does not decode to exactly its rows; HDF5's
  // own OSError when its read fails.
  void verify_rows(DecodeScratch& scratch) const;

  // Chunks as stored, past the filter pipeline: for writers and readers that run the codec
  // themselves. `first_row` must be the first row of a chunk and lie inside the extent, so grow the
  // extent before writing a chunk past it. `filter_mask` has bit n set when filter n of the
  // pipeline was skipped for this chunk (0: every filter applied).
  void write_chunk(Size first_row, const void* bytes, std::size_t size, unsigned filter_mask = 0);
  // The stored size of the chunk holding `first_row`, 0 when it was never written (its rows are
  // the fill value).
  std::size_t chunk_storage_size(Size first_row) const;
  // Where in the file the stored chunk holding `first_row` begins, 0 when it was never written: for
  // tests that damage a chunk's bytes.
  std::uint64_t chunk_file_offset(Size first_row) const;
  // Reads the stored bytes of the chunk holding `first_row` into `out` (resized to fit) and returns
  // its filter mask. The size is bounded by the caller's `max_size`: the file's damage beyond it.
  unsigned read_chunk(Size first_row, std::size_t max_size, std::vector<std::byte>& out) const;
  // The chunk length, in rows, when the chunks may be written as `layout` records deflated by the
  // caller: the stored type is `layout` byte for byte (members, offsets, widths, byte order) and
  // deflate is the one filter of a chunked layout. 0 otherwise (a file another tool wrote with
  // another member order, byte order or pipeline), and the rows must go through write().
  Size deflate_chunk_rows(const RecordLayout& layout) const;

  // All values of a dataset of plain integers (any width, either byte order), widened to 64 bits;
  // unsigned values beyond the signed range come back clamped to it. ValueError when the stored
  // type is not an integer type (a compound, floats, text).
  std::vector<std::int64_t> read_integers() const;

  // True when the values live outside the file: external raw-data files, or a virtual dataset
  // that maps other files. Writing such a dataset would write those files.
  bool has_external_storage() const;

  // Properties as stored, for checks and tests.
  PropListId creation_plist() const;

 private:
  // What names and shapes a dataset about to be created.
  struct NewDataset {
    File& file;
    const std::string& name;
    const RecordLayout& layout;
    const Creation& how;
  };

  Dataset(DatasetId id, std::string where) : id_(std::move(id)), where_(std::move(where)) {}
  // Creates the dataset with an extent of `count` rows, unwritten.
  static Dataset create_sized(const NewDataset& wanted, std::size_t count);
  void read_field_into(const Field& field, Size start, Size count, void* out) const;
  // Reads rows [start, start + count), already checked, into records of `out_record` bytes holding
  // `fields`: inflating the chunks here when the storage allows (chunk_reads_internal.h), through
  // HDF5 with `memory_type` otherwise.
  void read_rows(std::span<const Field> fields, Id memory_type, std::size_t out_record, Size start,
                 Size count, void* out) const;
  // Validates the stored type and the extent once per open (writes reset it) and checks that rows
  // [start, start + count) lie inside.
  void check_readable(Size start, Size count) const;
  // The stored type, fetched once per open: a read consults it several times, and each fetch
  // copies the whole record description.
  Id stored() const;
  DatasetId id_;
  std::string where_;  // "dataset 'data' of /path/file.h5", for messages
  mutable Size checked_rows_ = 0;
  mutable bool checked_ = false;
  // Chunk length for direct chunk reads, 0 for HDF5's own reads; known once storage_known_.
  mutable Size direct_chunk_rows_ = 0;
  mutable bool storage_known_ = false;
  mutable DatatypeId stored_;
};

}  // namespace tessera_plus::h5
