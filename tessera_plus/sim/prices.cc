#include "tessera_plus/sim/prices.h"

#include <algorithm>
#include <cmath>

#include "tessera_plus/base/instrument_type.h"
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

double walk_price(std::uint64_t walk_key, double base, double volatility, int index) {
  double x = volatility * brownian(walk_key, std::clamp(index, 0, kSpan));
  return base * std::exp(kBand * std::tanh(x / kBand));
}

// Round half away from zero, inline: libm's llround is a call per value and showed in profiles.
std::int64_t rnd(double x) {
  const double away = x >= 0 ? std::trunc(x + 0.5) : -std::trunc(0.5 - x);
  return static_cast<std::int64_t>(away);
}

// Intraday volume: heavier at the open and close of the day.
double u_shape(std::size_t k, std::size_t n) {
  double p = n > 1 ? double(k) / double(n - 1) * 2.0 - 1.0 : 0.0;
  return 0.6 + 1.6 * p * p;
}

struct Band {
  double up = 0, down = 0;  // 0: no limit that side
};

// The day's limit fractions under the exchange's and the board's rules.
Band band_on(const SimInstrument& ins, int index) {
  if (ins.limit <= 0) return {};
  const int date = ins.calendar->date_number(index);
  const int days = index - ins.listed;  // 0 on the first day of trading
  const int listed = ins.calendar->date_number(std::max(ins.listed, 0));
  const std::string& type = ins.record.type;
  if (type == INSTRUMENT_TYPE::CONVERTIBLE) return date >= 20220801 ? Band{0.2, 0.2} : Band{};
  if (type == INSTRUMENT_TYPE::REITs && days == 0) return {0.3, 0.3};
  switch (ins.board) {
    case Board::kNone:
      return {ins.limit, ins.limit};
    case Board::kStar:
      return days < 5 ? Band{} : Band{0.2, 0.2};
    case Board::kBjse:
      return days < 1 ? Band{} : Band{0.3, 0.3};
    case Board::kChiNext:
      if (listed >= 20200824) return days < 5 ? Band{} : Band{0.2, 0.2};
      if (date >= 20200824) return {0.2, 0.2};
      break;
    case Board::kMain:
      if (listed >= 20230410 && days < 5) return {};
      break;
  }
  if (days == 0 && listed >= 20140101) return {0.44, 0.36};  // the first-day band of 2014-2023
  return ins.st ? Band{0.05, 0.05} : Band{0.1, 0.1};
}

// +1 or -1 when day `index` ends locked at a limit.
int lock_on(const SimInstrument& ins, int index) {
  if (ins.lock_rate <= 0) return 0;
  std::uint64_t bits = mix64(ins.key, std::uint64_t(index), 0x10c);
  if (unit(bits) >= ins.lock_rate) return 0;
  return (bits & 1) ? 1 : -1;
}

std::int64_t walk_units(const SimInstrument& ins, int index) {
  return to_units(ins.grid, close_price(ins, index));
}

// The close in units: the walk inside the limits around the previous walk close, or the limit
// of a locked day.
std::int64_t close_units(const SimInstrument& ins, int index) {
  const std::int64_t walk = walk_units(ins, index);
  if (index <= 0) return walk;
  const Band band = band_on(ins, index);
  const Limits l = limits_around(walk_units(ins, index - 1), band.up, band.down);
  const int lock = band.up > 0 ? lock_on(ins, index) : 0;
  if (lock > 0) return l.up;
  if (lock < 0) return l.down;
  return std::clamp(walk, l.down, l.up);
}

double smooth_step(double x) { return std::clamp(x, 0.0, 1.0); }

}  // namespace

bool has_closing_auction(const SimInstrument& ins, int index) {
  if (ins.derivative || ins.hk || ins.record.type == INSTRUMENT_TYPE::INDX) return false;
  return ins.record.exchange == "XSHE" || ins.calendar->date_number(index) >= 20180820;
}

double close_price(const SimInstrument& ins, int index) {
  const OptionTerms& o = ins.option;
  if (o.strike > 0) {
    double spot = walk_price(o.walk_key, o.base_price, o.volatility, index);
    return std::max(option_value(o, spot, index), 0.0001);
  }
  return walk_price(ins.walk_key, ins.base_price, ins.volatility, index);
}

DayQuote day_quote(const SimInstrument& ins, int index) {
  DayQuote q{};
  q.prev_close = close_units(ins, std::max(index - 1, 0));
  const Band band = band_on(ins, index);
  const Limits l = limits_around(q.prev_close, band.up, band.down);
  q.limit_up = l.up;
  q.limit_down = l.down;
  q.close = std::clamp(close_units(ins, index), q.limit_down, q.limit_up);
  q.locked = q.close == q.limit_up && band.up > 0       ? 1
             : q.close == q.limit_down && band.down > 0 ? -1
                                                        : 0;
  if (q.locked != 0 && lock_on(ins, index) == 0) q.locked = 0;
  double gap = 0.004 * normalish(mix64(ins.key, std::uint64_t(index), 0x6a9));
  q.open =
      std::clamp(snap(ins.grid, rnd(double(q.prev_close) * (1.0 + gap))), q.limit_down, q.limit_up);
  q.lock_from = int(unit(mix64(ins.key, std::uint64_t(index), 0x10f)) * 200);
  return q;
}

std::span<const BarSlot> day_slots(const SimInstrument& ins, int index) {
  const SessionKind kind = session_on(ins.session, ins.calendar->date(index));
  std::span<const BarSlot> all = bar_slots(kind);
  if (ins.calendar->is_half_day(index)) {
    std::size_t morning = 0;
    while (morning < all.size() && all[morning].end_minute <= 12 * 60 + 30) ++morning;
    return all.first(morning);
  }
  int night = night_slot_count(kind);
  if (night > 0 && !has_night_session(index, ins.night_from))
    return all.subspan(std::size_t(night));
  return all;
}

DateTime bar_time(const SimInstrument& ins, int index, BarSlot slot) {
  if (slot.part == SlotPart::kDay) return day_slot_time(ins.calendar->day(index), slot);
  return slot_time(index, slot);
}

double liquidity_share(const SimInstrument& ins, int index) {
  if (ins.thin_share >= 1.0) return 1.0;
  // Ten trading days to move from thin to dominant and back, as positions roll.
  double in = smooth_step(double(index - (ins.dominant_from - 10)) / 10.0);
  double out = smooth_step(double(ins.dominant_to + 10 - index) / 10.0);
  return ins.thin_share + (1.0 - ins.thin_share) * std::min(in, out);
}

std::int64_t closing_interest(const SimInstrument& ins, int index) {
  if (!ins.derivative) return 0;
  // Builds up from listing, follows the contract's share of trading, and runs off towards expiry.
  const int last = std::max(ins.listed + 1, ins.expiry);
  double age = smooth_step(double(index - ins.listed + 1) / 20.0);
  double left = smooth_step(double(last - index + 1) / 15.0);
  double noise = 1.0 + 0.03 * normalish(mix64(ins.key, std::uint64_t(index), 0x0107));
  double level = ins.bar_lots * 400.0 * liquidity_share(ins, index) * age * std::sqrt(left);
  return std::max<std::int64_t>(1, rnd(level * noise));
}

void generate_day(const SimInstrument& ins, int index, DayBars& out) {
  const DayQuote q = day_quote(ins, index);
  const std::span<const BarSlot> all = day_slots(ins, index);
  const std::optional<Halt> halt = halt_on(ins, index, int(all.size()));
  out.quote = q;
  out.slots.clear();
  for (std::size_t k = 0; k < all.size(); ++k) {
    bool halted = halt && int(k) >= halt->from && int(k) < halt->to;
    if (!halted || ins.pad_halts) out.slots.push_back(all[k]);
  }
  const std::size_t n = all.size();
  for (auto* v : {&out.open, &out.high, &out.low, &out.close, &out.volume, &out.open_interest}) {
    v->resize(out.slots.size());
  }
  out.total_turnover.resize(out.slots.size());

  DayRng rng(mix64(ins.key, std::uint64_t(index)));
  const double sigma = ins.volatility * double(q.prev_close) / std::sqrt(double(n));
  // A locked day reaches its limit at bar `lock_from` and stays there.
  const std::size_t reach =
      q.locked ? std::min<std::size_t>(std::size_t(q.lock_from), n - 1) : n - 1;
  const std::int64_t target = q.close;
  std::vector<double>& path = out.scratch;
  path.resize(n);
  double walk = 0.0;
  for (std::size_t k = 0; k < n; ++k) path[k] = walk += sigma * rng.normal();
  const double bend = path[reach] - double(target - q.open);

  const double day_activity = (0.5 + rng.uniform()) * liquidity_share(ins, index);
  const std::int64_t oi_from = closing_interest(ins, index - 1),
                     oi_to = closing_interest(ins, index);
  // Trading comes in runs: a two-state chain with the instrument's long-run share of trading
  // minutes, whose quiet runs last 3 to 20 minutes.
  const double r = ins.trade_rate;
  const double wake = 0.05 + 0.3 * r, sleep = r < 1.0 ? wake * (1.0 - r) / r : 0.0;
  bool trading = r >= 1.0 || rng.uniform() < r;
  // A closing call auction: two silent minutes, then one match at the close.
  const std::size_t call_from = has_closing_auction(ins, index) && n >= 3 ? n - 3 : n;
  // Turnover at the bar's mean price: a multiplication per bar, not a division.
  const double value_per_unit = 0.25 * ins.multiplier * double(ins.grid.num) / double(ins.grid.den);
  std::int64_t previous = q.open, interest = oi_from;
  std::size_t row = 0;
  for (std::size_t k = 0; k < n; ++k) {
    const bool halted = halt && int(k) >= halt->from && int(k) < halt->to;
    std::int64_t c;
    if (k >= reach) {
      c = target;
    } else {
      double x = double(q.open) + path[k] - bend * double(k + 1) / double(reach + 1);
      c = std::clamp(snap(ins.grid, rnd(x)), q.limit_down, q.limit_up);
    }
    if (r < 1.0) trading = trading ? rng.uniform() >= sleep : rng.uniform() < wake;
    const bool trades = !halted && (trading || k + 1 == n || k == 0) &&
                        !(q.locked && k > reach && rng.uniform() < 0.5);
    if (halted && !ins.pad_halts) continue;
    std::int64_t o = previous, h, l, volume = 0;
    double turnover = 0;
    if (k >= call_from && k + 1 < n) {
      o = h = l = c = previous;
    } else if (k >= call_from && !halted) {
      o = h = l = c = q.close;
      double lots = ins.bar_lots * day_activity * 3.0 * (0.4 + 1.2 * rng.uniform());
      volume = std::max<std::int64_t>(1, rnd(lots)) * ins.lot;
      turnover = double(rnd(to_price(ins.grid, c) * double(volume) * 100.0)) / 100.0;
    } else if (!trades) {
      o = h = l = c = previous;
    } else if (q.locked && k > reach) {
      o = h = l = c;
      volume = std::max<std::int64_t>(1, rnd(ins.bar_lots * 0.05 * rng.uniform())) * ins.lot;
      turnover =
          double(rnd(to_price(ins.grid, c) * ins.multiplier * double(volume) * 100.0)) / 100.0;
    } else {
      std::int64_t wick_up = rnd(std::abs(rng.normal()) * sigma * 0.6);
      std::int64_t wick_down = rnd(std::abs(rng.normal()) * sigma * 0.6);
      h = std::min(snap(ins.grid, std::max(o, c) + wick_up), q.limit_up);
      l = std::max(snap(ins.grid, std::min(o, c) - wick_down), q.limit_down);
      double lots = ins.bar_lots * day_activity * u_shape(k, n) * (0.4 + 1.2 * rng.uniform());
      volume = std::max<std::int64_t>(1, rnd(lots)) * ins.lot;
      double price = ins.share_price > 0 ? ins.share_price : double(o + c + h + l) * value_per_unit;
      turnover = double(rnd(price * double(volume) * 100.0)) / 100.0;
    }
    if (ins.derivative) {
      double along = double(k + 1) / double(n);
      interest = rnd(double(oi_from) + (double(oi_to) - double(oi_from)) * along +
                     (k + 1 == n ? 0.0 : rng.normal() * ins.bar_lots * 0.05));
      interest = std::max<std::int64_t>(1, interest);
    }
    out.open[row] = o;
    out.close[row] = c;
    out.high[row] = h;
    out.low[row] = l;
    out.volume[row] = volume;
    out.total_turnover[row] = turnover;
    out.open_interest[row] = interest;
    ++row;
    previous = c;
  }
}

}  // namespace tessera_plus::tallow::sim
