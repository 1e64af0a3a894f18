#include "tessera_plus/sim/bars.h"

#include <algorithm>
#include <array>
#include <cmath>

#include "tessera_plus/sim/calendar.h"
#include "tessera_plus/sim/prices.h"

namespace tessera_plus::tallow::sim {
namespace {

constexpr std::array<std::string_view, 7> kColumns = {
    "open", "high", "low", "close", "volume", "total_turnover", "open_interest"};

// The table's columns, added all at once (adding one moves the others) and then bound.
struct Columns {
  std::array<std::vector<double>*, kColumns.size()> c{};
  std::size_t count = 0;
  Columns(PriceTable& table, bool derivative) {
    count = derivative ? kColumns.size() : kColumns.size() - 1;
    for (std::size_t i = 0; i < count; ++i) table.add_column(kColumns[i]);
    for (std::size_t i = 0; i < count; ++i) c[i] = &table.column(kColumns[i]);
  }
  void push(double o, double h, double l, double cl, double v, double t, double oi) {
    c[0]->push_back(o);
    c[1]->push_back(h);
    c[2]->push_back(l);
    c[3]->push_back(cl);
    c[4]->push_back(v);
    c[5]->push_back(t);
    if (count == kColumns.size()) c[6]->push_back(oi);
  }
};

DateTime midnight(const SimInstrument& ins, int index) {
  return DateTime(std::chrono::days(ins.calendar->day(index)));
}

// Number of bars of day `index` stamped at or before `cutoff`, found from the end because
// `cutoff` is past the whole day except on today.
std::size_t bars_until(const SimInstrument& ins, int index, const DayBars& day, DateTime cutoff) {
  std::size_t n = day.size();
  while (n > 0 && bar_time(ins, index, day.slots[n - 1]) > cutoff) --n;
  return n;
}

}  // namespace

PriceTable minute_table(const SimInstrument& ins, int first, int last, DateTime cutoff) {
  first = std::max(first, ins.first);
  last = std::min(last, ins.last);
  PriceTable table;
  if (ins.trading_date) table.trading_date.emplace();
  Columns cols(table, ins.derivative);
  DayBars day;
  const Grid& g = ins.grid;
  for (int index = first; index <= last; ++index) {
    if (!has_intraday_data(ins, index)) continue;
    generate_day(ins, index, day);
    const std::size_t n = bars_until(ins, index, day, cutoff);
    if (table.rows() == 0)
      table.reserve(bar_slots(ins.session).size() * std::size_t(last - index + 1));
    const DateTime trading_date = midnight(ins, index);
    for (std::size_t k = 0; k < n; ++k) {
      table.order_book_ids.push_back(ins.record.order_book_id);
      table.timestamps.push_back(bar_time(ins, index, day.slots[k]));
      if (table.trading_date) table.trading_date->push_back(trading_date);
      cols.push(to_price(g, day.open[k]), to_price(g, day.high[k]), to_price(g, day.low[k]),
                to_price(g, day.close[k]), double(day.volume[k]), day.total_turnover[k],
                double(day.open_interest[k]));
    }
  }
  return table;
}

PriceTable daily_table(const SimInstrument& ins, int first, int last, DateTime cutoff) {
  first = std::max(first, ins.first);
  last = std::min(last, ins.last);
  PriceTable table;
  Columns cols(table, ins.derivative);
  DayBars day;
  for (int index = first; index <= last; ++index) {
    if (!trades_on(ins, index)) continue;
    generate_day(ins, index, day);
    const std::size_t n = day.size();
    if (n == 0) continue;
    if (bar_time(ins, index, day.slots[n - 1]) > cutoff) break;  // the day is not over yet
    double volume = 0, turnover = 0;
    for (std::size_t k = 0; k < n; ++k) {
      volume += double(day.volume[k]);
      turnover += day.total_turnover[k];
    }
    table.order_book_ids.push_back(ins.record.order_book_id);
    table.timestamps.push_back(midnight(ins, index));
    const Grid& g = ins.grid;
    cols.push(to_price(g, day.open.front()),
              to_price(g, *std::max_element(day.high.begin(), day.high.end())),
              to_price(g, *std::min_element(day.low.begin(), day.low.end())),
              to_price(g, day.close.back()), volume, std::round(turnover * 100.0) / 100.0,
              double(day.open_interest.back()));
  }
  return table;
}

}  // namespace tessera_plus::tallow::sim
