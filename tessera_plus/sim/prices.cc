#include "tessera_plus/sim/prices.h"

#include <algorithm>
#include <cmath>

#include "tessera_plus/sim/random.h"

namespace tessera_plus::tallow::sim {
namespace {

constexpr int kLevels = 15;  // 2^15 trading days: beyond 2099
constexpr int kSpan = 1 << kLevels;
// Bound of the log-price excursion from the base level (a factor of about e^1.2 = 3.3).
constexpr double kBand = 1.2;

// B(index) of a standard Brownian motion on [0, kSpan] with B(0) = 0.
double brownian(std::uint64_t key, int index) {
  int lo = 0, hi = kSpan;
  double b_lo = 0.0;
  double b_hi = std::sqrt(double(kSpan)) * normalish(mix64(key, 1));
  std::uint64_t node = 1;
  while (hi - lo > 1) {
    int mid = (lo + hi) / 2;
    double b_mid = 0.5 * (b_lo + b_hi) +
                   0.5 * std::sqrt(double(hi - lo)) * normalish(mix64(key, node * 2 + 0x51ed27));
    node = node * 2 + (index >= mid ? 1 : 0);
    if (index >= mid) {
      lo = mid;
      b_lo = b_mid;
    } else {
      hi = mid;
      b_hi = b_mid;
    }
  }
  return index == hi ? b_hi : b_lo;
}

// Round half away from zero, inline: libm's llround is a call per value and showed in profiles.
std::int64_t rnd(double x) {
  return x >= 0 ? static_cast<std::int64_t>(x + 0.5) : -static_cast<std::int64_t>(0.5 - x);
}

std::int64_t cents(double price) { return std::max<std::int64_t>(1, rnd(price * 100)); }

// Intraday volume: heavier at the open and close of the day.
double u_shape(std::size_t k, std::size_t n) {
  double p = n > 1 ? double(k) / double(n - 1) * 2.0 - 1.0 : 0.0;
  return 0.6 + 1.6 * p * p;
}

}  // namespace

double close_price(const SimInstrument& ins, int index) {
  double x = ins.volatility * brownian(ins.walk_key, std::clamp(index, 0, kSpan));
  return ins.base_price * std::exp(kBand * std::tanh(x / kBand));
}

DayQuote day_quote(const SimInstrument& ins, int index) {
  DayQuote q{};
  q.prev_close = cents(close_price(ins, std::max(index - 1, 0)));
  q.limit_up = rnd(double(q.prev_close) * (1.0 + ins.limit));
  q.limit_down = std::max<std::int64_t>(1, rnd(double(q.prev_close) * (1.0 - ins.limit)));
  q.close = std::clamp(cents(close_price(ins, index)), q.limit_down, q.limit_up);
  double gap = 0.004 * normalish(mix64(ins.key, std::uint64_t(index), 0x6a9));
  q.open = std::clamp(rnd(double(q.prev_close) * (1.0 + gap)), q.limit_down, q.limit_up);
  return q;
}

std::span<const BarSlot> day_slots(const SimInstrument& ins, int index) {
  std::span<const BarSlot> all = bar_slots(ins.session);
  int night = night_slot_count(ins.session);
  if (night > 0 && !has_night_session(index)) return all.subspan(std::size_t(night));
  return all;
}

void generate_day(const SimInstrument& ins, int index, DayBars& out) {
  const DayQuote q = day_quote(ins, index);
  const std::span<const BarSlot> slots = day_slots(ins, index);
  const std::size_t n = slots.size();
  out.quote = q;
  out.slots = slots;
  for (auto* v : {&out.open, &out.high, &out.low, &out.close, &out.volume, &out.open_interest}) {
    v->resize(n);
  }
  out.total_turnover.resize(n);

  DayRng rng(mix64(ins.key, std::uint64_t(index)));
  const double sigma = ins.volatility * double(q.prev_close) / std::sqrt(double(n));
  // Random walk first (in `total_turnover` as scratch, each entry read before it is
  // overwritten below), then bend it into a bridge that ends at the
  // day's close.
  double walk = 0.0;
  std::vector<double>& path = out.total_turnover;
  for (std::size_t k = 0; k < n; ++k) path[k] = walk += sigma * rng.normal();
  const double bend = walk - double(q.close - q.open);

  const double day_activity = 0.5 + rng.uniform();
  std::int64_t interest =
      ins.derivative ? rnd(ins.bar_lots * 300.0 * (0.6 + 0.8 * rng.uniform())) : 0;
  std::int64_t previous = q.open;
  for (std::size_t k = 0; k < n; ++k) {
    double x = double(q.open) + path[k] - bend * double(k + 1) / double(n);
    std::int64_t c = k + 1 == n ? q.close : std::clamp(rnd(x), q.limit_down, q.limit_up);
    std::int64_t o = previous;
    std::int64_t wick_up = rnd(std::abs(rng.normal()) * sigma * 0.6);
    std::int64_t wick_down = rnd(std::abs(rng.normal()) * sigma * 0.6);
    out.open[k] = o;
    out.close[k] = c;
    out.high[k] = std::min(std::max(o, c) + wick_up, q.limit_up);
    out.low[k] = std::max(std::min(o, c) - wick_down, q.limit_down);
    double lots = ins.bar_lots * day_activity * u_shape(k, n) * (0.4 + 1.2 * rng.uniform());
    std::int64_t volume = std::max<std::int64_t>(1, rnd(lots)) * ins.lot;
    out.volume[k] = volume;
    double vwap = double(o + c + out.high[k] + out.low[k]) * 0.25 / 100.0;
    out.total_turnover[k] = double(rnd(vwap * double(volume) * ins.multiplier * 100.0)) / 100.0;
    if (ins.derivative) {
      interest = std::max<std::int64_t>(1, interest + rnd(rng.normal() * ins.bar_lots * 0.2));
    }
    out.open_interest[k] = interest;
    previous = c;
  }
}

}  // namespace tessera_plus::tallow::sim
