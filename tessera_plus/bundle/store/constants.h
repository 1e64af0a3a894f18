// Record types, module constants and the two small operations shared by the minute-bar and tick
// writers. Constants are defined in a fixed order and never change after start-up.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "tessera_plus/h5/dataset.h"
#include "tessera_plus/h5/record_layout.h"
#include "tessera_plus/h5/blosc.h"
#include "tessera_plus/base/instrument_type.h"

namespace tessera_plus::bundle {

using tessera::INSTRUMENT_TYPE;

// Minute-bar records, byte for byte as stored: packed, little-endian.
#pragma pack(push, 1)
// `datetime` is the bar's wall-clock time as the decimal number YYYYMMDDHHMMSS; its calendar date
// is datetime / 1000000.
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
    Field{"datetime", Kind::kInt64, 0},   Field{"open", Kind::kFloat64, 8},
    Field{"high", Kind::kFloat64, 16},    Field{"low", Kind::kFloat64, 24},
    Field{"close", Kind::kFloat64, 32},   Field{"volume", Kind::kFloat64, 40},
    Field{"total_turnover", Kind::kFloat64, 48}};
inline constexpr std::array<Field, 8> kDerivativeFields = {
    Field{"datetime", Kind::kInt64, 0},       Field{"open", Kind::kFloat64, 8},
    Field{"high", Kind::kFloat64, 16},        Field{"low", Kind::kFloat64, 24},
    Field{"close", Kind::kFloat64, 32},       Field{"open_interest", Kind::kInt64, 40},
    Field{"volume", Kind::kFloat64, 48},      Field{"total_turnover", Kind::kFloat64, 56}};
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

// Tag -> instrument types, in the order tags are listed to the user.
struct TagEntry {
  std::string_view tag;
  std::span<const std::string_view> types;
};
namespace detail {
inline constexpr std::array<std::string_view, 1> kStock = {INSTRUMENT_TYPE::CS};
inline constexpr std::array<std::string_view, 1> kFutures = {INSTRUMENT_TYPE::FUTURE};
inline constexpr std::array<std::string_view, 3> kFund = {INSTRUMENT_TYPE::ETF, INSTRUMENT_TYPE::LOF,
                                                          INSTRUMENT_TYPE::INDX};
inline constexpr std::array<std::string_view, 1> kIndex = {INSTRUMENT_TYPE::INDX};
inline constexpr std::array<std::string_view, 1> kOption = {INSTRUMENT_TYPE::OPTION};
inline constexpr std::array<std::string_view, 1> kConvertible = {INSTRUMENT_TYPE::CONVERTIBLE};
}  // namespace detail
inline constexpr std::array<TagEntry, 6> TAG_MAP = {
    TagEntry{"stock", detail::kStock},   TagEntry{"futures", detail::kFutures},
    TagEntry{"fund", detail::kFund},     TagEntry{"index", detail::kIndex},
    TagEntry{"option", detail::kOption}, TagEntry{"convertible", detail::kConvertible}};

// Types whose minute bars are stored as equities (EQUITIES_DTYPE, class directory "equities").
inline constexpr std::array<std::string_view, 6> EQUITIES_INS_TYPE = {
    INSTRUMENT_TYPE::CS,   INSTRUMENT_TYPE::ETF,         INSTRUMENT_TYPE::LOF,
    INSTRUMENT_TYPE::INDX, INSTRUMENT_TYPE::CONVERTIBLE, INSTRUMENT_TYPE::REITs};

inline constexpr int MIN_START_DATE = 20050104;
inline constexpr int MAX_END_DATE = 29991231;
inline constexpr int REBUILD_COMFIRM_RETRY_TIMES = 3;

// The last date whose data counts as complete: today once the local time is past 17:30:00.000000,
// otherwise yesterday. YYYYMMDD.
int _get_end_date();

// Deletes `h5_file`. A missing file is fine; any other failure (a directory, no permission) is
// the operating system's error.
void remove_h5(const std::string& h5_file);

inline constexpr int TICK_DATE_CHUNK_SIZE = 100;

// Blosc with LZ4 at level 9, for tick datasets; computed once at start-up. Minute-bar datasets use
// deflate instead.
inline const h5::Creation COMPRESSION_KWARGS = tessera::blosc_opts(9, "blosc:lz4");

}  // namespace tessera_plus::bundle
