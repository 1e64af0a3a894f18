#include "tessera_plus/h5/record_layout.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>

#include "tessera_plus/h5/error_internal.h"

namespace tessera_plus::h5 {
namespace {

hid_t h5_type_of(Kind kind) {
  switch (kind) {
    case Kind::kInt32:
      return H5T_STD_I32LE;
    case Kind::kUInt32:
      return H5T_STD_U32LE;
    case Kind::kInt64:
      return H5T_STD_I64LE;
    case Kind::kFloat64:
      return H5T_IEEE_F64LE;
  }
  return H5T_IEEE_F64LE;
}

}  // namespace

DatatypeId compound_type(const RecordLayout& layout) {
  ensure_initialized();
  DatatypeId type(check_id(H5Tcreate(H5T_COMPOUND, layout.size), "creating a compound type"));
  for (const Field& f : layout.fields) {
    std::string name(f.name);
    check(H5Tinsert(type.get(), name.c_str(), f.offset, h5_type_of(f.kind)),
          "adding a field to a compound type");
  }
  return type;
}

DatatypeId single_field_type(const Field& field) {
  ensure_initialized();
  DatatypeId type(
      check_id(H5Tcreate(H5T_COMPOUND, size_of(field.kind)), "creating a compound type"));
  std::string name(field.name);
  check(H5Tinsert(type.get(), name.c_str(), 0, h5_type_of(field.kind)),
        "adding a field to a compound type");
  return type;
}

namespace {

// Truncation toward zero, except that a product within floating-point noise of a whole number is
// that number: 0.57 * 10000 is 5699.999999999999 in binary floating point, and truncating it would
// store a price of 0.5699. The tolerance (one part in 10^9) is far above the noise of one
// multiplication and far below any real fraction of a price or volume unit.
double truncate_toward_zero(double value) {
  double nearest = std::nearbyint(value);
  if (std::fabs(value - nearest) <= 1e-9 * std::max(1.0, std::fabs(value))) return nearest;
  return std::trunc(value);
}

}  // namespace

void store_field(std::byte* record, const Field& field, double value) {
  std::byte* at = record + field.offset;
  if (field.kind != Kind::kFloat64) value = truncate_toward_zero(value);
  switch (field.kind) {
    case Kind::kInt32: {
      auto v = static_cast<std::int32_t>(value);
      std::memcpy(at, &v, sizeof v);
      break;
    }
    case Kind::kUInt32: {
      auto v = static_cast<std::uint32_t>(value);
      std::memcpy(at, &v, sizeof v);
      break;
    }
    case Kind::kInt64: {
      auto v = static_cast<std::int64_t>(value);
      std::memcpy(at, &v, sizeof v);
      break;
    }
    case Kind::kFloat64:
      std::memcpy(at, &value, sizeof value);
      break;
  }
}

}  // namespace tessera_plus::h5
