// The value columns of the service's tick table (`get_price` with frequency "tick"), beside its
// `trading_date`: one row per level-1 snapshot of the Chinese exchanges. Whoever answers tick
// requests sends these columns, and whoever stores ticks reads them, by these names.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

namespace tessera_plus::tallow {

// What a tick column holds.
enum class TickQuantity {
  kOpen,
  kLast,
  kHigh,
  kLow,
  kPrevClose,
  kLimitUp,
  kLimitDown,
  kVolume,         // cumulative shares or contracts of the trading day
  kTotalTurnover,  // cumulative traded value of the trading day
  kOpenInterest,   // futures and options only; the column is absent for everything else
  kAsk,            // price at one level of the five-level book
  kBid,
  kAskVolume,  // volume at one level of the book
  kBidVolume,
};

// Prices, as opposed to amounts: what the exchanges quote on their price grid.
constexpr bool is_price(TickQuantity quantity) {
  switch (quantity) {
    case TickQuantity::kVolume:
    case TickQuantity::kTotalTurnover:
    case TickQuantity::kOpenInterest:
    case TickQuantity::kAskVolume:
    case TickQuantity::kBidVolume:
      return false;
    default:
      return true;
  }
}

struct TickColumn {
  std::string_view name;
  TickQuantity quantity;
  int level;  // 1 to 5 for the book's columns (a1 is the best ask), 0 for the others
};

inline constexpr std::size_t kTickBookDepth = 5;

inline constexpr std::array<TickColumn, 30> kTickColumns = {{
    {"open", TickQuantity::kOpen, 0},
    {"last", TickQuantity::kLast, 0},
    {"high", TickQuantity::kHigh, 0},
    {"low", TickQuantity::kLow, 0},
    {"prev_close", TickQuantity::kPrevClose, 0},
    {"limit_up", TickQuantity::kLimitUp, 0},
    {"limit_down", TickQuantity::kLimitDown, 0},
    {"volume", TickQuantity::kVolume, 0},
    {"total_turnover", TickQuantity::kTotalTurnover, 0},
    {"open_interest", TickQuantity::kOpenInterest, 0},
    {"a1", TickQuantity::kAsk, 1},
    {"a2", TickQuantity::kAsk, 2},
    {"a3", TickQuantity::kAsk, 3},
    {"a4", TickQuantity::kAsk, 4},
    {"a5", TickQuantity::kAsk, 5},
    {"b1", TickQuantity::kBid, 1},
    {"b2", TickQuantity::kBid, 2},
    {"b3", TickQuantity::kBid, 3},
    {"b4", TickQuantity::kBid, 4},
    {"b5", TickQuantity::kBid, 5},
    {"a1_v", TickQuantity::kAskVolume, 1},
    {"a2_v", TickQuantity::kAskVolume, 2},
    {"a3_v", TickQuantity::kAskVolume, 3},
    {"a4_v", TickQuantity::kAskVolume, 4},
    {"a5_v", TickQuantity::kAskVolume, 5},
    {"b1_v", TickQuantity::kBidVolume, 1},
    {"b2_v", TickQuantity::kBidVolume, 2},
    {"b3_v", TickQuantity::kBidVolume, 3},
    {"b4_v", TickQuantity::kBidVolume, 4},
    {"b5_v", TickQuantity::kBidVolume, 5},
}};

}  // namespace tessera_plus::tallow
