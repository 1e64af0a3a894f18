// Small helpers shared by the files that build the simulated universe.
#pragma once

#include <climits>
#include <cstdint>
#include <string>
#include <string_view>

#include "tessera_plus/market/types.h"
#include "tessera_plus/sim/calendar.h"
#include "tessera_plus/sim/random.h"

namespace tessera_plus::tallow::sim {

inline constexpr std::string_view kListed = "0000-00-00";

inline std::string dashed(int index) {
  return format_dashed(TradingCalendar::instance().date(index));
}

// Calendar index of a listing date text: 0 before the calendar begins.
inline int listing_index(const TradingCalendar& c, const std::string& text) {
  return c.first_on_or_after(date_of(parse_datetime(text)));
}
inline int listing_index(const std::string& text) {
  return listing_index(TradingCalendar::instance(), text);
}

// Calendar index of the last trading day on or before a de-listing date text.
inline int delisting_index(const TradingCalendar& c, const std::string& text) {
  if (text == kListed) return INT_MAX;
  return c.last_on_or_before(date_of(parse_datetime(text)));
}
inline int delisting_index(const std::string& text) {
  return delisting_index(TradingCalendar::instance(), text);
}

// Uniform in [low, high) from a key and a purpose.
inline double draw(std::uint64_t key, std::uint64_t purpose, double low, double high) {
  return low + (high - low) * unit(mix64(key, purpose));
}

inline Instrument record(std::string id, std::string symbol, std::string_view type,
                         std::string exchange, std::string listed,
                         std::string de_listed = std::string(kListed)) {
  Instrument r;
  r.order_book_id = std::move(id);
  r.symbol = std::move(symbol);
  r.type = std::string(type);
  r.exchange = std::move(exchange);
  r.listed_date = std::move(listed);
  r.de_listed_date = std::move(de_listed);
  return r;
}

}  // namespace tessera_plus::tallow::sim
