#include "tessera_plus/h5/record_layout.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <type_traits>

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

constexpr double kRoundingShift = 6755399441055744.0;  // 1.5 * 2^52
constexpr double kExactWhole = 2251799813685248.0;     // 2^51

// std::nearbyint in the default rounding mode, without the library call for the values that the
// records hold: adding and taking away 1.5 * 2^52 leaves no bits below the units, and the sum
// rounds to nearest, ties to even. Beyond 2^51 the sum's spacing exceeds 1, so those go the long
// way (doubles from 2^52 on are whole anyway).
double round_to_nearest(double value) {
  if (!(std::fabs(value) < kExactWhole)) return std::nearbyint(value);
  return (value + kRoundingShift) - kRoundingShift;
}

// Truncation toward zero, except that a product within floating-point noise of a whole number is
// that number: 0.57 * 10000 is 5699.999999999999 in binary floating point, and truncating it would
// store a price of 0.5699. One multiplication (and the decimal-to-binary rounding of its inputs)
// errs by a few units in the last place of the result, so the tolerance is a few ULPs of the
// value: it removes that noise and nothing else, however large the value (a relative tolerance
// such as 1e-9 would round 600000000.7 up from about 5e8 on).
// This gives the value that the conversion's own truncation then takes: the nearest whole number
// when `value` is within noise of it, else `value` itself.
double snap_to_whole(double value) {
  const double nearest = round_to_nearest(value);
  // Whole numbers (volumes, most prices once scaled) need no tolerance.
  if (value == nearest) return nearest;
  // The distance to the next double up: nextafter(|nearest|, +inf) - |nearest|, without the
  // library call (which would cost a fifth of a tick write). For NaN and infinities both give NaN,
  // and the comparison below fails as it should.
  const double magnitude = std::fabs(nearest);
  const double ulp = std::bit_cast<double>(std::bit_cast<std::uint64_t>(magnitude) + 1) - magnitude;
  if (std::fabs(value - nearest) <= kSnapUlps * ulp) return nearest;
  return value;
}

// Whether `value`, truncated toward zero (as the conversion to T does), is representable in T: a
// NaN, an infinity or a value out of range would be undefined behaviour to convert.
template <typename T>
bool truncates_into(double value) {
  if constexpr (std::is_same_v<T, std::int32_t>) {
    return value > -2147483649.0 && value < 2147483648.0;
  } else if constexpr (std::is_same_v<T, std::uint32_t>) {
    return value > -1.0 && value < 4294967296.0;
  } else {
    // No double lies strictly between -2^63 - 1 and -2^63, so the lower bound is exact.
    return value >= -9223372036854775808.0 && value < 9223372036854775808.0;
  }
}

template <typename T>
void store_as(std::byte* at, const Field& field, double value) {
  if constexpr (!std::is_same_v<T, double>) {
    value = snap_to_whole(value);
    if (!truncates_into<T>(value)) {  // NaN fails every comparison
      throw ValueError(fmt::format("value {} does not fit the integer field '{}'",
                                   std::trunc(value), field.name));
    }
  }
  const T v = static_cast<T>(value);  // truncates toward zero
  std::memcpy(at, &v, sizeof v);
}

// The loop with the field's type fixed, so that the compiler sees one conversion per value.
template <typename T>
void store_column_as(std::byte* records, std::size_t stride, const Field& field,
                     std::span<const double> values, double factor) {
  std::byte* at = records + field.offset;
  for (double value : values) {
    store_as<T>(at, field, value * factor);
    at += stride;
  }
}

constexpr std::int64_t bits_of(double value) { return std::bit_cast<std::int64_t>(value); }

// A power of two that bounds the magnitudes a T holds (2^31 leaves out -2^31, which the careful
// path takes) and is no more than 2^51, below which the shifted sum holds a whole number exactly.
template <typename T>
constexpr double magnitude_limit() {
  if constexpr (std::is_same_v<T, std::int32_t>) return 2147483648.0;
  if constexpr (std::is_same_v<T, std::uint32_t>) return 4294967296.0;
  return kExactWhole;
}

// The careful path's result (snap_to_whole, then the range check) for a batch whose products each
// round to a whole number that fits T well and lie no more than four doubles nearer zero than it
// (every price and volume a bundle stores, once scaled, and every zero). Four doubles is within the
// careful path's tolerance of 4 ULPs (the spacing below a number is at most its ulp, and the
// difference is exact), so it would snap them to that number; a product further from zero than its
// whole number (by less than a half) is truncated to it whether snapped or not. A product further
// off toward zero, or out of range, sends the batch to the careful path, which then overwrites what
// went into the records.
// The shifted sum that rounds a product holds the whole number in its low bits, so no conversion
// instruction is needed, and every test is integer arithmetic on sign bits: a branch or a
// compare-and-count in the body would stop the compiler vectorising the loop, and the tolerance's
// own arithmetic would meet the subnormal ulp of 0 (a microcode assist on every zero, which tick
// data is full of). The bits of a double, sign aside, are ordered as its magnitude is, with NaN
// and infinities above every finite value.
template <typename T>
bool store_whole(std::byte* at, std::size_t stride, std::span<const double> values, double factor) {
  constexpr std::int64_t kSignBit = std::numeric_limits<std::int64_t>::min();
  constexpr std::int64_t kLargest = bits_of(magnitude_limit<T>()) - 1;
  constexpr std::int64_t kNegative = std::is_unsigned_v<T> ? kSignBit : 0;
  constexpr auto kShiftBits = std::bit_cast<std::uint64_t>(kRoundingShift);
  std::int64_t misfit = 0;
  for (std::size_t i = 0; i < values.size(); ++i) {
    const double product = values[i] * factor;
    const double shifted = product + kRoundingShift;
    const std::int64_t nearest = bits_of(shifted - kRoundingShift);
    // Doubles from the whole number out to the product, plus four: negative when the product lies
    // more than four doubles nearer zero, or across zero from it (a -0.0 among them, which the
    // careful path takes). Computed unsigned, where wrapping is defined.
    const auto steps = static_cast<std::int64_t>(std::bit_cast<std::uint64_t>(product) -
                                                 static_cast<std::uint64_t>(nearest) + kSnapUlps);
    const std::int64_t out_of_range = (kLargest - (nearest & ~kSignBit)) | (nearest & kNegative);
    misfit |= (steps | out_of_range) & kSignBit;
    // Unsigned: for a product far out of range the difference would overflow a signed one.
    const auto whole = static_cast<T>(std::bit_cast<std::uint64_t>(shifted) - kShiftBits);
    std::memcpy(at + i * stride, &whole, sizeof whole);
  }
  return misfit == 0;
}

// A batch that holds a value beyond noise is redone the careful way; batches keep that redoing
// small.
constexpr std::size_t kBatch = 256;

template <typename T>
void store_integer_column(std::byte* records, std::size_t stride, const Field& field,
                          std::span<const double> values, double factor) {
  for (std::size_t first = 0; first < values.size(); first += kBatch) {
    const auto batch = values.subspan(first, std::min(kBatch, values.size() - first));
    std::byte* at = records + first * stride;
    if (!store_whole<T>(at + field.offset, stride, batch, factor)) {
      store_column_as<T>(at, stride, field, batch, factor);
    }
  }
}

}  // namespace

void store_field(std::byte* record, const Field& field, double value) {
  store_column(record, 0, field, std::span(&value, 1));
}

void store_column(std::byte* records, std::size_t stride, const Field& field,
                  std::span<const double> values, double factor) {
  switch (field.kind) {
    case Kind::kInt32:
      return store_integer_column<std::int32_t>(records, stride, field, values, factor);
    case Kind::kUInt32:
      return store_integer_column<std::uint32_t>(records, stride, field, values, factor);
    case Kind::kInt64:
      return store_integer_column<std::int64_t>(records, stride, field, values, factor);
    case Kind::kFloat64:
      return store_column_as<double>(records, stride, field, values, factor);
  }
}

}  // namespace tessera_plus::h5
