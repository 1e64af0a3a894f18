#include "tessera_plus/h5/record_layout.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>

#include <fmt/format.h>

#include "tessera_plus/base/errors.h"
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

// Whole numbers within this many units in the last place count as that number.
constexpr int kSnapUlps = 4;

// Truncation toward zero, except that a product within floating-point noise of a whole number is
// that number: 0.57 * 10000 is 5699.999999999999 in binary floating point, and truncating it would
// store a price of 0.5699. One multiplication (and the decimal-to-binary rounding of its inputs)
// errs by a few units in the last place of the result, so the tolerance is a few ULPs of the
// value: it removes that noise and nothing else, however large the value (a relative tolerance
// such as 1e-9 would round 600000000.7 up from about 5e8 on).
double truncate_toward_zero(double value) {
  const double nearest = std::nearbyint(value);
  const double ulp = std::nextafter(std::fabs(nearest), HUGE_VAL) - std::fabs(nearest);
  if (std::fabs(value - nearest) <= kSnapUlps * ulp) return nearest;
  return std::trunc(value);
}

// Whether the truncated `value` is representable in the integer field: a NaN, an infinity or a
// value out of range would be undefined behaviour to convert.
bool fits(Kind kind, double value) {
  switch (kind) {
    case Kind::kInt32:
      return value >= -2147483648.0 && value <= 2147483647.0;
    case Kind::kUInt32:
      return value >= 0.0 && value <= 4294967295.0;
    case Kind::kInt64:
      return value >= -9223372036854775808.0 && value < 9223372036854775808.0;
    case Kind::kFloat64:
      return true;
  }
  return false;
}

}  // namespace

void store_field(std::byte* record, const Field& field, double value) {
  std::byte* at = record + field.offset;
  if (field.kind != Kind::kFloat64) {
    value = truncate_toward_zero(value);
    if (!fits(field.kind, value)) {  // NaN fails every comparison
      throw ValueError(
          fmt::format("value {} does not fit the integer field '{}'", value, field.name));
    }
  }
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
