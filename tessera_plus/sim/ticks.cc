#include "tessera_plus/sim/ticks.h"

#include <algorithm>
#include <array>
#include <chrono>

#include "tessera_plus/bundle/store/ticks_loader.h"
#include "tessera_plus/sim/calendar.h"
#include "tessera_plus/sim/prices.h"
#include "tessera_plus/sim/random.h"

namespace tessera_plus::tallow::sim {
namespace {

using tessera::H5TicksLoader;

// What fills each tick column. Prices are in cents until they are written.
enum class Source {
  kOpen,
  kLast,
  kHigh,
  kLow,
  kPrevClose,
  kLimitUp,
  kLimitDown,
  kVolume,
  kTurnover,
  kOpenInterest,
  kAsk,
  kBid,
  kAskVolume,
  kBidVolume,
};

struct Column {
  Source source;
  int level;  // 1..5 for the order book columns
  std::vector<double>* values;
};

Source source_of(std::string_view name, int& level) {
  level = 0;
  if (name.size() >= 2 && (name[0] == 'a' || name[0] == 'b') && name[1] >= '1' && name[1] <= '5') {
    level = name[1] - '0';
    bool volume = name.size() > 2;  // a1_v
    if (name[0] == 'a') return volume ? Source::kAskVolume : Source::kAsk;
    return volume ? Source::kBidVolume : Source::kBid;
  }
  if (name == "open") return Source::kOpen;
  if (name == "last") return Source::kLast;
  if (name == "high") return Source::kHigh;
  if (name == "low") return Source::kLow;
  if (name == "prev_close") return Source::kPrevClose;
  if (name == "limit_up") return Source::kLimitUp;
  if (name == "limit_down") return Source::kLimitDown;
  if (name == "volume") return Source::kVolume;
  if (name == "total_turnover") return Source::kTurnover;
  return Source::kOpenInterest;
}

std::vector<Column> bind_columns(PriceTable& table, bool derivative) {
  std::vector<std::string_view> names;
  for (std::string_view name : H5TicksLoader::COLUMNS) {
    if (name == "date" || name == "time") continue;  // the writer derives them from the key
    if (name == "open_interest" && !derivative) continue;
    names.push_back(name);
  }
  for (std::string_view name : names) table.add_column(name);
  std::vector<Column> columns;
  for (std::string_view name : names) {
    Column c{};
    c.source = source_of(name, c.level);
    c.values = &table.column(name);
    columns.push_back(c);
  }
  return columns;
}

// The state of the trading day as of one tick, in cents and cumulative amounts.
struct TickState {
  std::int64_t last, high, low;
  double volume, turnover;
  std::int64_t open_interest;
  std::uint64_t depth;  // random bits for the order book volumes
};

double value(const Column& c, const TickState& t, const DayQuote& q, std::int64_t lot) {
  switch (c.source) {
    case Source::kOpen:
      return double(q.open) / 100.0;
    case Source::kLast:
      return double(t.last) / 100.0;
    case Source::kHigh:
      return double(t.high) / 100.0;
    case Source::kLow:
      return double(t.low) / 100.0;
    case Source::kPrevClose:
      return double(q.prev_close) / 100.0;
    case Source::kLimitUp:
      return double(q.limit_up) / 100.0;
    case Source::kLimitDown:
      return double(q.limit_down) / 100.0;
    case Source::kVolume:
      return t.volume;
    case Source::kTurnover:
      return t.turnover;
    case Source::kOpenInterest:
      return double(t.open_interest);
    case Source::kAsk:
      return double(t.last + c.level) / 100.0;
    case Source::kBid:
      return double(std::max<std::int64_t>(1, t.last - c.level + 1)) / 100.0;
    case Source::kAskVolume:
    case Source::kBidVolume: {
      int shift = 6 * (c.level - 1 + (c.source == Source::kBidVolume ? 5 : 0));
      return double((((t.depth >> shift) & 63) + 1) * std::uint64_t(lot));
    }
  }
  return 0;
}

// Prices of the m ticks of bar k: open first, close last, the high and the low in between.
void bar_ticks(const DayBars& day, std::size_t k, int m, DayRng& rng,
               std::vector<std::int64_t>& out) {
  const std::int64_t o = day.open[k], h = day.high[k], l = day.low[k], c = day.close[k];
  out.resize(std::size_t(m));
  for (int j = 0; j < m; ++j)
    out[std::size_t(j)] = l + std::int64_t(rng.below(std::uint64_t(h - l + 1)));
  out.front() = o;
  out.back() = c;
  if (m >= 4) {
    int jh = 1 + int(rng.below(std::uint64_t(m - 2)));
    int jl = 1 + int(rng.below(std::uint64_t(m - 3)));
    if (jl >= jh) ++jl;
    out[std::size_t(jh)] = h;
    out[std::size_t(jl)] = l;
  } else if (m == 3) {
    out[1] = h - std::max(o, c) >= std::min(o, c) - l ? h : l;
  }
}

}  // namespace

PriceTable tick_table(const SimInstrument& ins, int first, int last, DateTime cutoff,
                      int tick_seconds) {
  using namespace std::chrono;
  first = std::max(first, ins.first);
  last = std::min(last, ins.last);
  PriceTable table;
  table.trading_date.emplace();
  const std::vector<Column> columns = bind_columns(table, ins.derivative);
  const int m = 60 / tick_seconds;
  DayBars day;
  std::vector<std::int64_t> prices;
  for (int index = first; index <= last; ++index) {
    if (!trades_on(ins, index)) continue;
    generate_day(ins, index, day);
    DayRng rng(mix64(ins.key, std::uint64_t(index), 0x7469636b));
    const DateTime trading_date(days(TradingCalendar::instance().day(index)));
    TickState t{day.quote.open, day.quote.open, day.quote.open, 0, 0, 0, 0};
    for (std::size_t k = 0; k < day.size(); ++k) {
      const DateTime bar_end = slot_time(index, day.slots[k]);
      bar_ticks(day, k, m, rng, prices);
      const std::int64_t lots = day.volume[k] / ins.lot;
      for (int j = 0; j < m; ++j) {
        const DateTime at = bar_end - seconds(60) + seconds((j + 1) * tick_seconds);
        if (at > cutoff) break;
        std::int64_t tick_lots = lots / m + (j < lots % m ? 1 : 0);
        t.last = prices[std::size_t(j)];
        t.high = std::max(t.high, t.last);
        t.low = std::min(t.low, t.last);
        t.volume += double(tick_lots * ins.lot);
        t.turnover += double(tick_lots * ins.lot) * double(t.last) / 100.0 * ins.multiplier;
        t.open_interest = day.open_interest[k];
        t.depth = rng.next();
        table.order_book_ids.push_back(ins.record.order_book_id);
        table.timestamps.push_back(at);
        table.trading_date->push_back(trading_date);
        for (const Column& c : columns) c.values->push_back(value(c, t, day.quote, ins.lot));
      }
    }
  }
  return table;
}

}  // namespace tessera_plus::tallow::sim
