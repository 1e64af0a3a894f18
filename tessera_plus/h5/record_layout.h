// Description of a packed little-endian record type, from which the HDF5 compound type is built.
// Keeping the layout as data lets the same description drive the HDF5 type, the C++ struct checks
// and generic field conversion (the tick writer scales columns field by field).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "tessera_plus/h5/handle.h"

namespace tessera_plus::h5 {

enum class Kind : std::uint8_t { kInt32, kUInt32, kInt64, kFloat64 };

constexpr std::size_t size_of(Kind kind) {
  return kind == Kind::kInt32 || kind == Kind::kUInt32 ? 4 : 8;
}

struct Field {
  std::string_view name;
  Kind kind;
  std::size_t offset;
};

struct RecordLayout {
  std::size_t size;
  std::span<const Field> fields;

  const Field* find(std::string_view name) const {
    for (const Field& f : fields)
      if (f.name == name) return &f;
    return nullptr;
  }
};

// True when the fields are contiguous, in order, and fill `size` exactly (a packed record).
constexpr bool is_packed(const RecordLayout& layout) {
  std::size_t offset = 0;
  for (const Field& f : layout.fields) {
    if (f.offset != offset) return false;
    offset += size_of(f.kind);
  }
  return offset == layout.size;
}

// The packed little-endian compound type of `layout`.
DatatypeId compound_type(const RecordLayout& layout);

// A compound type holding only `field` at offset 0: reading a dataset with it fetches one column.
DatatypeId single_field_type(const Field& field);

// Stores `value` into the field of the record at `record`, converted to the field's type. Integer
// fields take the value truncated toward zero, after snapping a value within floating-point noise
// of a whole number (a few ULPs) to it, so 0.57 * 10000 stores 5700, not 5699; ValueError when the
// value does not fit an integer field (NaN, infinite, out of range).
void store_field(std::byte* record, const Field& field, double value);

// store_field for one field of consecutive records: `values[i] * factor` goes into the record at
// `records + i * stride`. The same conversion and errors, at a fraction of the cost per value.
void store_column(std::byte* records, std::size_t stride, const Field& field,
                  std::span<const double> values, double factor = 1.0);

}  // namespace tessera_plus::h5
