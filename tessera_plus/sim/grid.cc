#include "tessera_plus/sim/grid.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cmath>

namespace tessera_plus::tallow::sim {
namespace {

// HKEX spread table (part A), in units of 0.001: (upper bound of the band, its tick).
constexpr std::array<std::array<std::int64_t, 2>, 11> kBands = {{{250, 1},
                                                                 {500, 5},
                                                                 {10000, 10},
                                                                 {20000, 20},
                                                                 {100000, 50},
                                                                 {200000, 100},
                                                                 {500000, 200},
                                                                 {1000000, 500},
                                                                 {2000000, 1000},
                                                                 {5000000, 2000},
                                                                 {INT64_MAX, 5000}}};

std::int64_t round_half_up(double x) { return static_cast<std::int64_t>(std::floor(x + 0.5)); }

}  // namespace

std::int64_t band_tick(std::int64_t units) {
  for (const auto& [bound, tick] : kBands) {
    if (units < bound) return tick;
  }
  return kBands.back()[1];
}

std::int64_t snap_to_band(std::int64_t units) {
  std::int64_t tick = band_tick(units);
  return std::max(tick, (units + tick / 2) / tick * tick);
}

std::int64_t to_units(const Grid& g, double price) {
  return snap(g, std::max<std::int64_t>(1, round_half_up(price * g.den / g.num)));
}

Limits limits_around(std::int64_t prev_close, double up, double down) {
  Limits l{INT64_MAX / 4, 1};
  // The exchanges round a limit price half up to the grid.
  if (up > 0) l.up = round_half_up(double(prev_close) * (1.0 + up));
  if (down > 0)
    l.down = std::max<std::int64_t>(1, round_half_up(double(prev_close) * (1.0 - down)));
  return l;
}

}  // namespace tessera_plus::tallow::sim
