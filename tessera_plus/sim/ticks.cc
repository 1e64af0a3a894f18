#include "tessera_plus/sim/ticks.h"

#include <algorithm>
#include <array>
#include <cmath>

#include "tessera_plus/base/instrument_type.h"
#include "tessera_plus/market/tick_columns.h"
#include "tessera_plus/sim/prices.h"
#include "tessera_plus/sim/random.h"

namespace tessera_plus::tallow::sim {
namespace {

using namespace std::chrono;
constexpr int kDepth = int(kTickBookDepth);

struct Column {
  TickQuantity quantity;
  int level;  // 1..5 for the order book columns
  std::vector<double>* values;
};

// Every column of the service's tick table; open_interest for futures and options only.
std::vector<Column> bind_columns(PriceTable& table, bool derivative) {
  auto carried = [&](const TickColumn& c) {
    return derivative || c.quantity != TickQuantity::kOpenInterest;
  };
  for (const TickColumn& c : kTickColumns) {
    if (carried(c)) table.add_column(c.name);
  }
  // Bound once every column exists: adding one may move the others.
  std::vector<Column> columns;
  for (const TickColumn& c : kTickColumns) {
    if (carried(c)) columns.push_back(Column{c.quantity, c.level, &table.column(c.name)});
  }
  return columns;
}

// The order book: prices in grid units (0 for an empty level) and volumes in shares.
struct Book {
  std::array<std::int64_t, kDepth> bid{}, ask{};
  std::array<double, kDepth> bid_v{}, ask_v{};
};

// The state of the trading day as of one snapshot, in grid units and cumulative amounts.
struct TickState {
  std::int64_t open = 0, last = 0, high = 0, low = 0;
  double volume = 0, turnover = 0;
  std::int64_t open_interest = 0;
  Book book;
};

double value(const Column& c, const TickState& t, const DayQuote& q, const Grid& g) {
  auto price = [&](std::int64_t units) { return units > 0 ? to_price(g, units) : 0.0; };
  const std::size_t l = std::size_t(c.level - 1);
  switch (c.quantity) {
    case TickQuantity::kOpen:
      return price(t.open);
    case TickQuantity::kLast:
      return price(t.last);
    case TickQuantity::kHigh:
      return price(t.high);
    case TickQuantity::kLow:
      return price(t.low);
    case TickQuantity::kPrevClose:
      return price(q.prev_close);
    case TickQuantity::kLimitUp:
      return q.limit_up < INT64_MAX / 8 ? price(q.limit_up) : 0.0;
    case TickQuantity::kLimitDown:
      return q.limit_up < INT64_MAX / 8 ? price(q.limit_down) : 0.0;
    case TickQuantity::kVolume:
      return t.volume;
    case TickQuantity::kTotalTurnover:
      return t.turnover;
    case TickQuantity::kOpenInterest:
      return double(t.open_interest);
    case TickQuantity::kAsk:
      return price(t.book.ask[l]);
    case TickQuantity::kBid:
      return price(t.book.bid[l]);
    case TickQuantity::kAskVolume:
      return t.book.ask_v[l];
    case TickQuantity::kBidVolume:
      return t.book.bid_v[l];
  }
  return 0;
}

// Builds, moves and thins the book of one instrument through a day.
class BookMaker {
 public:
  BookMaker(const SimInstrument& ins, const DayQuote& q, DayRng& rng)
      : ins_(ins), q_(q), rng_(rng) {
    // An illiquid name quotes wider and thinner.
    spread_ = ins.trade_rate >= 0.9 ? 1 : 1 + std::int64_t(rng.below(4));
    depth_ = ins.bar_lots * (ins.trade_rate >= 0.9 ? 2.0 : 0.5);
  }

  // The book after a trade at `price` (direction +1 buy, -1 sell).
  void trade(Book& b, std::int64_t price, int direction) {
    std::int64_t tick = tick_at(ins_.grid, price);
    // At a limit the queue is on the near side only.
    if (price >= q_.limit_up) direction = -1;
    if (price <= q_.limit_down) direction = +1;
    std::int64_t bid1 = direction > 0 ? price - spread_ * tick : price;
    std::int64_t old_bid1 = b.bid[0];
    rebuild(b, bid1, old_bid1);
  }

  // A quiet change: volumes drift, now and then a level empties or fills.
  void drift(Book& b) {
    for (int i = 0; i < kDepth; ++i) {
      if (b.bid[i] > 0) b.bid_v[i] = lots(b.bid_v[i] * (0.8 + 0.4 * rng_.uniform()));
      if (b.ask[i] > 0) b.ask_v[i] = lots(b.ask_v[i] * (0.8 + 0.4 * rng_.uniform()));
    }
  }

  // The book of an indicative auction price: matched volume on both sides at it.
  void auction(Book& b, std::int64_t price, double matched) {
    b = Book{};
    b.bid[0] = b.ask[0] = price;
    b.bid_v[0] = b.ask_v[0] = matched;
    b.bid_v[1] = lots(depth_ * rng_.uniform());
  }

 private:
  double lots(double shares) const {
    double lot = double(ins_.lot);
    return std::max(lot, std::round(shares / lot) * lot);
  }
  double fresh(int level) {
    if (ins_.trade_rate < 0.9 && rng_.uniform() < 0.15 * level) return 0;  // thin: gaps
    return lots(depth_ * double(ins_.lot) * (0.5 + level * 0.4) * (0.3 + 1.4 * rng_.uniform()));
  }

  void rebuild(Book& b, std::int64_t bid1, std::int64_t old_bid1) {
    const std::int64_t tick = tick_at(ins_.grid, bid1 > 0 ? bid1 : 1);
    const int shift =
        old_bid1 > 0 ? int((bid1 - old_bid1) / std::max<std::int64_t>(1, tick)) : kDepth;
    Book n;
    for (int i = 0; i < kDepth; ++i) {
      n.bid[i] = bid1 - i * tick;
      n.ask[i] = bid1 + (spread_ + i) * tick;
      // Levels that stayed keep their volume; the rest are new.
      int from_bid = i + shift, from_ask = i - shift;
      n.bid_v[i] = shift == 0                                                    ? b.bid_v[i]
                   : (from_bid >= 0 && from_bid < kDepth && b.bid[from_bid] > 0) ? b.bid_v[from_bid]
                                                                                 : fresh(i);
      n.ask_v[i] = shift == 0                                                    ? b.ask_v[i]
                   : (from_ask >= 0 && from_ask < kDepth && b.ask[from_ask] > 0) ? b.ask_v[from_ask]
                                                                                 : fresh(i);
      if (n.bid_v[i] == 0) n.bid_v[i] = fresh(i);
      if (n.ask_v[i] == 0) n.ask_v[i] = fresh(i);
    }
    // Nothing quotes beyond the limits; a price at a limit empties the far side.
    for (int i = 0; i < kDepth; ++i) {
      if (n.ask[i] > q_.limit_up || n.bid[0] >= q_.limit_up) {
        n.ask[i] = 0;
        n.ask_v[i] = 0;
      }
      if (n.bid[i] < q_.limit_down || n.bid[i] <= 0 || n.ask[0] == q_.limit_down) {
        n.bid[i] = 0;
        n.bid_v[i] = 0;
      }
    }
    if (n.bid[0] == q_.limit_up) n.bid_v[0] = lots(depth_ * double(ins_.lot) * 200);
    if (n.ask[0] == q_.limit_down) n.ask_v[0] = lots(depth_ * double(ins_.lot) * 200);
    b = n;
  }

  const SimInstrument& ins_;
  const DayQuote& q_;
  DayRng& rng_;
  std::int64_t spread_;
  double depth_;
};

// Prices of the t trades of bar k: open first, close last, the high and the low in between.
void bar_prices(const DayBars& day, std::size_t k, int t, const Grid& g, DayRng& rng,
                std::vector<std::int64_t>& out) {
  const std::int64_t o = day.open[k], h = day.high[k], l = day.low[k], c = day.close[k];
  out.resize(std::size_t(t));
  for (int j = 0; j < t; ++j) {
    out[std::size_t(j)] = snap(g, l + std::int64_t(rng.below(std::uint64_t(h - l + 1))));
    out[std::size_t(j)] = std::clamp(out[std::size_t(j)], l, h);
  }
  out.front() = o;
  out.back() = c;
  if (t >= 4) {
    int jh = 1 + int(rng.below(std::uint64_t(t - 2)));
    int jl = 1 + int(rng.below(std::uint64_t(t - 3)));
    if (jl >= jh) ++jl;
    out[std::size_t(jh)] = h;
    out[std::size_t(jl)] = l;
  } else if (t == 3) {
    out[1] = h - std::max(o, c) >= std::min(o, c) - l ? h : l;
  }
}

bool is_stock_like(const SimInstrument& ins) { return !ins.derivative && !ins.hk; }

class DayTicks {
 public:
  DayTicks(const SimInstrument& ins, int index, const DayBars& day, PriceTable& table,
           const std::vector<Column>& columns, milliseconds interval, DateTime cutoff)
      : ins_(ins),
        index_(index),
        day_(day),
        table_(table),
        columns_(columns),
        interval_(interval),
        cutoff_(cutoff),
        rng_(mix64(ins.key, std::uint64_t(index), 0x7469636b)),
        book_(ins, day.quote, rng_),
        trading_date_(days(ins.calendar->day(index))) {}

  void run() {
    if (day_.size() == 0) return;
    state_.open_interest = day_.open_interest.front();
    double auction_lots = opening_auction();
    const int m = int(minutes(1) / interval_);
    const bool close_auction = has_closing_auction(ins_, index_) && day_.size() >= 3;
    for (std::size_t k = 0; k < day_.size() && !done_; ++k) {
      const DateTime start = bar_time(ins_, index_, day_.slots[k]) - minutes(1);
      double lots = whole_lots(day_.volume[k]) - (k == 0 ? auction_lots : 0);
      state_.open_interest = day_.open_interest[k];
      if (close_auction && k + 3 >= day_.size()) {
        closing_minute(k, start, m);
        continue;
      }
      regular_minute(k, start, m, std::max(0.0, lots));
    }
  }

 private:
  // Volumes are whole lots by construction, so the division is exact.
  double whole_lots(std::int64_t volume) const {
    const std::int64_t lots = volume / ins_.lot;
    return static_cast<double>(lots);
  }

  // Stocks: indicative snapshots from 09:15, the match at 09:25:00. Futures: the match a minute
  // before the first bar's minute. Returns the lots the match took from the first bar.
  double opening_auction() {
    const DayQuote& q = day_.quote;
    const double first_lots = whole_lots(day_.volume.front());
    if (first_lots <= 0 || day_.open.front() != q.open) return 0;
    const double lots = std::floor(first_lots * 0.3);
    const DateTime first = bar_time(ins_, index_, day_.slots.front()) - minutes(1);
    if (is_stock_like(ins_) && ins_.record.type != INSTRUMENT_TYPE::INDX) {
      const DateTime from = first - minutes(15), match = first - minutes(5);
      std::int64_t indicative = q.prev_close;
      for (DateTime at = from; at < match; at += interval_) {
        indicative += (q.open - indicative) / 8 + std::int64_t(rng_.below(3)) - 1;
        indicative = std::clamp(snap(ins_.grid, indicative), q.limit_down, q.limit_up);
        book_.auction(state_.book, indicative, lots * double(ins_.lot) * rng_.uniform());
        if (!emit(at)) return 0;
      }
      return match_at(match, lots);
    }
    if (!ins_.derivative) return 0;
    return match_at(first - minutes(1), lots);
  }

  double match_at(DateTime at, double lots) {
    trade(day_.quote.open, lots, +1);
    emit(at);
    return lots;
  }

  void trade(std::int64_t price, double lots, int direction) {
    if (state_.open == 0) state_.open = state_.high = state_.low = price;
    state_.last = price;
    state_.high = std::max(state_.high, price);
    state_.low = std::min(state_.low, price);
    const double shares = lots * double(ins_.lot);
    state_.volume += shares;
    const double unit_price =
        ins_.share_price > 0 ? ins_.share_price : to_price(ins_.grid, price) * ins_.multiplier;
    state_.turnover += shares * unit_price;
    // An index has no order book.
    if (ins_.record.type != INSTRUMENT_TYPE::INDX) book_.trade(state_.book, price, direction);
  }

  void regular_minute(std::size_t k, DateTime start, int m, double lots) {
    // Trades: every slot for a busy minute, a few for a quiet one; the book changes in between.
    // A futures trade is a few lots; a stock's minute, a few hundred shares a trade.
    const double per_trade = ins_.derivative ? 4.0 : 2.0;
    const int t = lots <= 0 ? 0 : std::clamp(int(std::ceil(lots / per_trade)), 1, m);
    bar_prices(day_, k, std::max(t, 1), ins_.grid, rng_, prices_);
    const double quiet = ins_.trade_rate >= 0.9 ? 0.6 : 0.05;
    int traded = 0;
    for (int j = 0; j < m && !done_; ++j) {
      const int left = m - j, wanted = t - traded;
      const bool trades = wanted > 0 && (wanted >= left || rng_.uniform() < double(wanted) / left);
      if (trades) {
        const std::int64_t price = prices_[std::size_t(traded)];
        const double share = traded + 1 == t ? lots - lots_done_ : std::floor(lots / t);
        trade(price, share, price >= state_.last ? +1 : -1);
        lots_done_ += share;
        ++traded;
      } else if (ins_.record.type != INSTRUMENT_TYPE::INDX && rng_.uniform() < quiet) {
        book_.drift(state_.book);
      } else {
        continue;
      }
      emit(start + interval_ * (j + 1));
    }
    lots_done_ = 0;
  }

  // The closing call: indicative snapshots, then the match at the session's end.
  void closing_minute(std::size_t k, DateTime start, int m) {
    const bool match = k + 1 == day_.size();
    for (int j = 0; j < m && !done_; ++j) {
      const DateTime at = start + interval_ * (j + 1);
      if (match && j + 1 == m) {
        double lots = 0;
        for (std::size_t i = day_.size() - 3; i < day_.size(); ++i) {
          lots += whole_lots(day_.volume[i]);
        }
        if (lots > 0) trade(day_.close.back(), lots, +1);
        emit(at);
        return;
      }
      if (rng_.uniform() < 0.5) continue;
      book_.drift(state_.book);
      emit(at);
    }
  }

  bool emit(DateTime at) {
    if (at > cutoff_) {
      done_ = true;
      return false;
    }
    table_.order_book_ids.push_back(ins_.record.order_book_id);
    table_.timestamps.push_back(at);
    table_.trading_date->push_back(trading_date_);
    for (const Column& c : columns_) c.values->push_back(value(c, state_, day_.quote, ins_.grid));
    return true;
  }

  const SimInstrument& ins_;
  int index_;
  const DayBars& day_;
  PriceTable& table_;
  const std::vector<Column>& columns_;
  milliseconds interval_;
  DateTime cutoff_;
  DayRng rng_;
  BookMaker book_;
  DateTime trading_date_;
  TickState state_;
  std::vector<std::int64_t> prices_;
  double lots_done_ = 0;
  bool done_ = false;
};

}  // namespace

std::chrono::milliseconds tick_interval(const SimInstrument& ins, int equity_seconds) {
  if (ins.derivative) return milliseconds(500);
  return seconds(equity_seconds);
}

PriceTable tick_table(const SimInstrument& ins, int first, int last, DateTime cutoff,
                      milliseconds interval) {
  first = std::max(first, ins.first);
  last = std::min(last, ins.last);
  PriceTable table;
  table.trading_date.emplace();
  const std::vector<Column> columns = bind_columns(table, ins.derivative);
  DayBars day;
  for (int index = first; index <= last; ++index) {
    if (!has_intraday_data(ins, index)) continue;
    generate_day(ins, index, day);
    DayTicks(ins, index, day, table, columns, interval, cutoff).run();
  }
  return table;
}

}  // namespace tessera_plus::tallow::sim
