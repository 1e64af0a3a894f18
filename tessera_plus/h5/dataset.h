// One-dimensional datasets of packed records, the only kind the bundle files hold.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "tessera_plus/h5/handle.h"
#include "tessera_plus/h5/record_layout.h"

namespace tessera_plus::h5 {

class File;

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
  // Creates `name` holding `count` records of `layout` from `records` (may be null when count is
  // 0).
  static Dataset create(File& file, const std::string& name, const RecordLayout& layout,
                        const void* records, std::size_t count, const Creation& how);
  static Dataset open(const File& file, const std::string& name);

  Dataset(Dataset&&) noexcept = default;
  Dataset& operator=(Dataset&&) noexcept = default;

  Id id() const { return id_.get(); }
  Size length() const;
  void resize(Size length);

  // Reads rows [start, start + count) of the fields of `layout` that the stored type has in
  // common with it (HDF5 matches compound fields by name).
  void read(const RecordLayout& layout, Size start, Size count, void* out) const;
  void write(const RecordLayout& layout, Size start, Size count, const void* records);

  // Reads one field of rows [start, start + count). KeyError when the stored type lacks it.
  template <typename T>
  std::vector<T> read_field(const Field& field, Size start, Size count) const {
    std::vector<T> values(count);
    read_field_into(field, start, count, values.data());
    return values;
  }
  bool has_field(std::string_view name) const;

  // All values of a dataset of plain integers (any width, either byte order), widened to 64 bits;
  // unsigned values beyond the signed range come back clamped to it. ValueError when the stored
  // type is not an integer type (a compound, floats, text).
  std::vector<std::int64_t> read_integers() const;

  // True when the values live outside the file: external raw-data files, or a virtual dataset
  // that maps other files. Writing such a dataset would write those files.
  bool has_external_storage() const;

  // Properties as stored, for checks and tests.
  DatatypeId stored_type() const;
  PropListId creation_plist() const;

 private:
  explicit Dataset(DatasetId id) : id_(std::move(id)) {}
  void read_field_into(const Field& field, Size start, Size count, void* out) const;
  DatasetId id_;
};

}  // namespace tessera_plus::h5
