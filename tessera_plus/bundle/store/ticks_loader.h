// The host's tick record layout: which columns a tick file stores, how each is scaled, and the
// packed record type.
//
// One record per tick of Chinese exchanges' level-1 snapshots (about one every 3 seconds):
// - date, time: the tick's own calendar date YYYYMMDD and time HHMMSSmmm (int32 each);
// - open ... limit_down: prices, stored as int64 = price * 10000 (exact for the exchanges' 0.001
//   grid);
// - volume: cumulative shares or contracts of the day (int64);
// - total_turnover: cumulative traded value of the day (float64, unscaled);
// - open_interest: futures and options; 0 for everything else (int64);
// - a1..a5, b1..b5: five ask and five bid prices, scaled like the other prices (int64);
// - a1_v..a5_v, b1_v..b5_v: volumes at those levels (int64).
// Every integer field holds value * factor truncated toward zero, once floating-point noise has
// been snapped to the whole number it stands for.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "tessera_plus/h5/record_layout.h"

namespace tessera_plus::tessera {

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
inline constexpr std::size_t kColumns = 32;
inline constexpr double kPrice = 10000.0;

#define TP_PRICE(n) \
  Field { #n, Kind::kInt64, offsetof(TickRecord, n) }
#define TP_INT(n) \
  Field { #n, Kind::kInt64, offsetof(TickRecord, n) }
inline constexpr std::array<Field, kColumns> kFields = {
    Field{"date", Kind::kInt32, offsetof(TickRecord, date)},
    Field{"time", Kind::kInt32, offsetof(TickRecord, time)},
    TP_PRICE(open),
    TP_PRICE(last),
    TP_PRICE(high),
    TP_PRICE(low),
    TP_PRICE(prev_close),
    TP_PRICE(limit_up),
    TP_PRICE(limit_down),
    TP_INT(volume),
    Field{"total_turnover", Kind::kFloat64, offsetof(TickRecord, total_turnover)},
    TP_INT(open_interest),
    TP_PRICE(a1),
    TP_PRICE(a2),
    TP_PRICE(a3),
    TP_PRICE(a4),
    TP_PRICE(a5),
    TP_PRICE(b1),
    TP_PRICE(b2),
    TP_PRICE(b3),
    TP_PRICE(b4),
    TP_PRICE(b5),
    TP_INT(a1_v),
    TP_INT(a2_v),
    TP_INT(a3_v),
    TP_INT(a4_v),
    TP_INT(a5_v),
    TP_INT(b1_v),
    TP_INT(b2_v),
    TP_INT(b3_v),
    TP_INT(b4_v),
    TP_INT(b5_v)};
#undef TP_PRICE
#undef TP_INT

constexpr std::array<std::string_view, kColumns> columns() {
  std::array<std::string_view, kColumns> names{};
  for (std::size_t i = 0; i < kColumns; ++i) names[i] = kFields[i].name;
  return names;
}

constexpr bool is_price(std::string_view name) {
  constexpr std::array<std::string_view, 17> prices = {
      "open", "last", "high", "low", "prev_close", "limit_up", "limit_down", "a1", "a2",
      "a3",   "a4",   "a5",   "b1",  "b2",         "b3",       "b4",         "b5"};
  for (auto p : prices)
    if (p == name) return true;
  return false;
}

constexpr std::array<TickField, kColumns> fields() {
  std::array<TickField, kColumns> out{};
  for (std::size_t i = 0; i < kColumns; ++i) {
    const Field& f = kFields[i];
    std::string_view dtype = f.kind == Kind::kInt32     ? "<i4"
                             : f.kind == Kind::kFloat64 ? "<f8"
                                                        : "<i8";
    out[i] = TickField{f.name, dtype, is_price(f.name) ? kPrice : 1.0};
  }
  return out;
}
}  // namespace ticks_detail

struct H5TicksLoader {
  static constexpr std::array<std::string_view, ticks_detail::kColumns> COLUMNS =
      ticks_detail::columns();
  static constexpr std::array<TickField, ticks_detail::kColumns> FIELDS = ticks_detail::fields();
  static constexpr h5::RecordLayout DTYPES{sizeof(TickRecord), ticks_detail::kFields};
};

static_assert(sizeof(TickRecord) == 248);
static_assert(h5::is_packed(H5TicksLoader::DTYPES));

}  // namespace tessera_plus::tessera
