// The minute-bar file's record types and their HDF5 layouts.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "tessera_plus/h5/record_layout.h"

namespace tessera_plus::bundle {

// Minute-bar records, byte for byte as stored: packed, little-endian.
#pragma pack(push, 1)
// `datetime` is the bar's wall-clock time as the decimal number YYYYMMDDHHMMSS; its calendar date
// is tallow::date_of_datetime(datetime) (market/bar_time.h).
struct EquityBar {
  std::int64_t datetime;
  double open, high, low, close, volume, total_turnover;
};
struct DerivativeBar {
  std::int64_t datetime;
  double open, high, low, close;
  std::int64_t open_interest;
  double volume, total_turnover;
};
// Where a trading date's bars begin in `data`. `line_no` is 32-bit unsigned because readers in
// the field expect exactly this 8-byte entry; a file can therefore address 2^32 - 1 bars, about
// 70 000 years of one-minute bars, so the limit is never reached in practice.
struct IndexEntry {
  std::int32_t date;
  std::uint32_t line_no;
};
#pragma pack(pop)

namespace detail {
using h5::Field;
using h5::Kind;
inline constexpr std::array<Field, 7> kEquityFields = {
    Field{"datetime", Kind::kInt64, 0},         Field{"open", Kind::kFloat64, 8},
    Field{"high", Kind::kFloat64, 16},          Field{"low", Kind::kFloat64, 24},
    Field{"close", Kind::kFloat64, 32},         Field{"volume", Kind::kFloat64, 40},
    Field{"total_turnover", Kind::kFloat64, 48}};
inline constexpr std::array<Field, 8> kDerivativeFields = {
    Field{"datetime", Kind::kInt64, 0},  Field{"open", Kind::kFloat64, 8},
    Field{"high", Kind::kFloat64, 16},   Field{"low", Kind::kFloat64, 24},
    Field{"close", Kind::kFloat64, 32},  Field{"open_interest", Kind::kInt64, 40},
    Field{"volume", Kind::kFloat64, 48}, Field{"total_turnover", Kind::kFloat64, 56}};
inline constexpr std::array<Field, 2> kIndexFields = {Field{"date", Kind::kInt32, 0},
                                                      Field{"line_no", Kind::kUInt32, 4}};
}  // namespace detail

inline constexpr h5::RecordLayout EQUITIES_DTYPE{56, detail::kEquityFields};
inline constexpr h5::RecordLayout DERIVATIVES_DTYPE{64, detail::kDerivativeFields};
inline constexpr h5::RecordLayout INDEX_DTYPE{8, detail::kIndexFields};

static_assert(sizeof(EquityBar) == EQUITIES_DTYPE.size && h5::is_packed(EQUITIES_DTYPE));
static_assert(sizeof(DerivativeBar) == DERIVATIVES_DTYPE.size && h5::is_packed(DERIVATIVES_DTYPE));
static_assert(sizeof(IndexEntry) == INDEX_DTYPE.size && h5::is_packed(INDEX_DTYPE));
static_assert(offsetof(DerivativeBar, open_interest) == 40);
static_assert(offsetof(IndexEntry, line_no) == 4);

}  // namespace tessera_plus::bundle
