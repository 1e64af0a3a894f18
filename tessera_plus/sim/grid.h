// Price grids and daily price limits. Prices are held as whole numbers of grid units; a unit is
// num/den yuan (0.01 for stocks, 0.001 for funds and convertibles, 0.0001 for ETF options, a
// future's own tick). Hong Kong prices are held in units of 0.001 and snapped to the band of the
// exchange's spread table that the price is in.
#pragma once

#include <cstdint>

namespace tessera_plus::tallow::sim {

struct Grid {
  std::int32_t num = 1, den = 100;
  bool hk_bands = false;
};

inline constexpr Grid kCentGrid{1, 100, false};
inline constexpr Grid kMilliGrid{1, 1000, false};
inline constexpr Grid kOptionGrid{1, 10000, false};
inline constexpr Grid kHongKongGrid{1, 1000, true};

// The price of `units`, as close to the decimal as a double gets.
inline double to_price(const Grid& g, std::int64_t units) {
  return double(units * g.num) / double(g.den);
}
// The nearest tradable number of units to `price` (at least one tick).
std::int64_t to_units(const Grid& g, double price);
std::int64_t snap_to_band(std::int64_t units);
std::int64_t band_tick(std::int64_t units);
// `units` moved onto the tradable grid (only Hong Kong's bands move anything). Inline: it runs
// for every price of every bar.
inline std::int64_t snap(const Grid& g, std::int64_t units) {
  return g.hk_bands ? snap_to_band(units) : units;
}
// The tick size in units at a price level: 1 except in Hong Kong.
inline std::int64_t tick_at(const Grid& g, std::int64_t units) {
  return g.hk_bands ? band_tick(units) : 1;
}

struct Limits {
  std::int64_t up, down;  // in units; up = INT64_MAX / 4 and down = 1 when the day has none
};

// Limits around `prev_close` for a fraction `up` above and `down` below (0 for none).
Limits limits_around(std::int64_t prev_close, double up, double down);

}  // namespace tessera_plus::tallow::sim
