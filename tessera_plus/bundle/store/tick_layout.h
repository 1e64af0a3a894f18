// The tick record layout: which columns a tick file stores, how each is scaled, and the packed
// record type.
//
// One record per tick of Chinese exchanges' level-1 snapshots (about one every 3 seconds):
// - date, time: the tick's own calendar date YYYYMMDD and time HHMMSSmmm (int32 each);
// - then the service's tick columns (market/tick_columns.h), in its order: prices stored as
//   int64 = price * 10000 (exact for the exchanges' 0.001 grid), total_turnover as float64
//   (unscaled), every other amount as int64 unscaled; open_interest is 0 where the service sends
//   none.
// Every integer field holds value * factor truncated toward zero, once floating-point noise has
// been snapped to the whole number it stands for.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "tessera_plus/h5/record_layout.h"
#include "tessera_plus/market/tick_columns.h"

namespace tessera_plus::bundle {

#pragma pack(push, 1)
struct TickRecord {
  std::int32_t date;
  std::int32_t time;
  std::int64_t open, last, high, low, prev_close, limit_up, limit_down;
  std::int64_t volume;
  double total_turnover;
  std::int64_t open_interest;
  std::int64_t a1, a2, a3, a4, a5;
  std::int64_t b1, b2, b3, b4, b5;
  std::int64_t a1_v, a2_v, a3_v, a4_v, a5_v;
  std::int64_t b1_v, b2_v, b3_v, b4_v, b5_v;
};
#pragma pack(pop)

// One entry per column: (name, stored type, factor). The factor is the third element.
struct TickField {
  std::string_view name;
  std::string_view dtype;
  double factor;
};

namespace ticks_detail {
using h5::Field;
using h5::Kind;
// The first two fields are the writer's own; the rest are the service's tick columns, in its order.
inline constexpr std::size_t kOwnFields = 2;
inline constexpr std::size_t kColumns = kOwnFields + tallow::kTickColumns.size();
inline constexpr double kPrice = 10000.0;

#define TP_INT64(n) \
  Field { #n, Kind::kInt64, offsetof(TickRecord, n) }
inline constexpr std::array<Field, kColumns> kFields = {
    Field{"date", Kind::kInt32, offsetof(TickRecord, date)},
    Field{"time", Kind::kInt32, offsetof(TickRecord, time)},
    TP_INT64(open),
    TP_INT64(last),
    TP_INT64(high),
    TP_INT64(low),
    TP_INT64(prev_close),
    TP_INT64(limit_up),
    TP_INT64(limit_down),
    TP_INT64(volume),
    Field{"total_turnover", Kind::kFloat64, offsetof(TickRecord, total_turnover)},
    TP_INT64(open_interest),
    TP_INT64(a1),
    TP_INT64(a2),
    TP_INT64(a3),
    TP_INT64(a4),
    TP_INT64(a5),
    TP_INT64(b1),
    TP_INT64(b2),
    TP_INT64(b3),
    TP_INT64(b4),
    TP_INT64(b5),
    TP_INT64(a1_v),
    TP_INT64(a2_v),
    TP_INT64(a3_v),
    TP_INT64(a4_v),
    TP_INT64(a5_v),
    TP_INT64(b1_v),
    TP_INT64(b2_v),
    TP_INT64(b3_v),
    TP_INT64(b4_v),
    TP_INT64(b5_v)};
#undef TP_INT64

constexpr std::array<std::string_view, kColumns> columns() {
  std::array<std::string_view, kColumns> names{};
  for (std::size_t i = 0; i < kColumns; ++i) names[i] = kFields[i].name;
  return names;
}

constexpr bool follows_service_columns() {
  for (std::size_t i = 0; i < tallow::kTickColumns.size(); ++i) {
    if (kFields[kOwnFields + i].name != tallow::kTickColumns[i].name) return false;
  }
  return true;
}
static_assert(follows_service_columns(),
              "the tick layout must store the service's tick columns, in the service's order");

constexpr std::array<TickField, kColumns> fields() {
  std::array<TickField, kColumns> out{};
  for (std::size_t i = 0; i < kColumns; ++i) {
    const Field& f = kFields[i];
    std::string_view dtype = f.kind == Kind::kInt32     ? "<i4"
                             : f.kind == Kind::kFloat64 ? "<f8"
                                                        : "<i8";
    const bool price =
        i >= kOwnFields && tallow::is_price(tallow::kTickColumns[i - kOwnFields].quantity);
    out[i] = TickField{f.name, dtype, price ? kPrice : 1.0};
  }
  return out;
}
}  // namespace ticks_detail

// Entry i of each list describes field i of a tick record.
struct H5TicksLoader {
  static constexpr std::array<std::string_view, ticks_detail::kColumns> COLUMNS =
      ticks_detail::columns();
  static constexpr std::array<TickField, ticks_detail::kColumns> FIELDS = ticks_detail::fields();
  static constexpr h5::RecordLayout DTYPES{sizeof(TickRecord), ticks_detail::kFields};
};

static_assert(sizeof(TickRecord) == 248);
static_assert(h5::is_packed(H5TicksLoader::DTYPES));

}  // namespace tessera_plus::bundle
