#include "tessera_plus/sim/sim_market.h"

#include <algorithm>

#include <fmt/format.h>

#include "tessera_plus/base/errors.h"
#include "tessera_plus/base/instrument_type.h"
#include "tessera_plus/sim/bars.h"
#include "tessera_plus/sim/calendar.h"
#include "tessera_plus/sim/revisions.h"
#include "tessera_plus/sim/ticks.h"

namespace tessera_plus::tallow::sim {
namespace {

constexpr int kProbeDays = 20;

SimConfig checked(SimConfig config) {
  if (config.tick_seconds <= 0 || 60 % config.tick_seconds != 0) {
    throw ValueError(
        fmt::format("tick interval {} s does not divide a minute", config.tick_seconds));
  }
  if (!(config.fault_rate >= 0 && config.fault_rate <= 1) ||
      !(config.latency_rate >= 0 && config.latency_rate <= 1) || config.latency_ms < 0 ||
      config.stocks < 0 || config.history_days < 0 || config.quota_rows < 0 ||
      config.outage_up < 0 || config.outage_down < 0 || config.latency_per_1000_rows_ms < 0) {
    throw ValueError("simulated market configuration out of range");
  }
  return config;
}

bool is_hk_market(const std::optional<std::string>& market) {
  if (!market || *market == "cn") return false;
  if (*market == "hk") return true;
  throw ValueError(fmt::format("unknown market '{}'; expected 'cn' or 'hk'", *market));
}

// Listed on `day`: listing and de-listing dates as text compare like dates.
bool listed_on(const Instrument& r, const std::string& day) {
  return r.listed_date <= day && (r.de_listed_date == "0000-00-00" || day <= r.de_listed_date);
}

std::string frequency_of(const PriceArgs& args) {
  std::string f = args.frequency.value_or("1d");
  if (f != "1d" && f != "1m" && f != "tick") {
    throw ValueError(fmt::format("unsupported frequency '{}'; expected '1m', 'tick' or '1d'", f));
  }
  return f;
}

}  // namespace

SimMarket::SimMarket(SimConfig config)
    : config_(checked(std::move(config))), faults_(config_), calls_(config_.call_log) {}

void SimMarket::init(bool enable_bjse) { bjse_ = enable_bjse; }

bool SimMarket::bjse_enabled() const { return bjse_; }

const Universe& SimMarket::universe() {
  Date today = date_of(tessera_plus::now());
  if (!universe_ || universe_day_ != today) {
    universe_.emplace(config_, today);
    universe_day_ = today;
  }
  return *universe_;
}

std::vector<Instrument> SimMarket::all_instruments(const AllInstrumentsArgs& args) {
  calls_.note("all_instruments");
  const bool hk = is_hk_market(args.market);
  std::optional<std::string> day;
  if (args.date) day = format_dashed(to_date(*args.date));
  std::vector<Instrument> out;
  for (const SimInstrument& s : universe().all()) {
    if (s.hk != hk || (s.bjse && !bjse_)) continue;
    if (args.type && s.record.type != *args.type) continue;
    if (day && !listed_on(s.record, *day)) continue;
    out.push_back(s.record);
  }
  return out;
}

InstrumentAnswer SimMarket::instruments(const std::string& order_book_id,
                                        const std::optional<std::string>& market) {
  calls_.note("instruments");
  const SimInstrument* s = universe().find(order_book_id);
  if (!s || (market && is_hk_market(market) != s->hk)) return {};
  if (s->earlier_holder) return std::vector<Instrument>{*s->earlier_holder, s->record};
  return s->record;
}

InstrumentAnswer SimMarket::convertible_instruments(const std::vector<std::string>& ids) {
  calls_.note("convertible.instruments");
  std::vector<Instrument> found;
  for (const std::string& id : ids) {
    const SimInstrument* s = universe().find(id);
    if (s && s->record.type == INSTRUMENT_TYPE::CONVERTIBLE) found.push_back(s->record);
  }
  if (found.empty()) return {};
  if (ids.size() == 1) return found.front();
  return found;
}

std::optional<PriceTable> SimMarket::get_price(const std::string& order_book_id,
                                               const PriceArgs& args) {
  calls_.note("get_price");
  const std::string frequency = frequency_of(args);
  const Universe& u = universe();
  const SimInstrument* ins = u.find(order_book_id);
  if (!ins) return no_data();
  const TradingCalendar& c = *ins->calendar;
  const DateTime now = tessera_plus::now();
  int last = c.last_on_or_before(date_of(now));
  if (args.end_date) last = std::min(last, c.last_on_or_before(to_date(*args.end_date)));
  int first = args.start_date ? c.first_on_or_after(to_date(*args.start_date))
                              : std::max(0, last - kProbeDays + 1);
  check_permission(config_.deny, *ins, frequency, c.date_number(std::min(first, c.size() - 1)),
                   c.date_number(std::max(last, 0)));
  faults_.on_data_call("get_price", order_book_id);
  if (first > last) return no_data();
  PriceTable table = frequency == "1m"     ? minute_table(*ins, first, last, now)
                     : frequency == "tick" ? tick_table(*ins, first, last, now,
                                                        tick_interval(*ins, config_.tick_seconds))
                                           : daily_table(*ins, first, last, now);
  apply_revisions(table, config_.revised_days);
  faults_.on_answer(table.rows());
  if (table.empty()) return no_data();
  return table;
}

std::optional<PriceTable> SimMarket::no_data() const {
  if (!config_.empty_tables) return std::nullopt;
  return PriceTable{};
}

Date SimMarket::get_next_trading_date(const DateArg& date, const std::string& market) {
  calls_.note("get_next_trading_date");
  const bool hk = is_hk_market(market);
  faults_.on_data_call("get_next_trading_date", "");
  return next_trading_date(to_date(date), hk);
}

std::vector<Date> SimMarket::get_trading_dates(const DateArg& start, const DateArg& end,
                                               const std::string& market) {
  calls_.note("get_trading_dates");
  const bool hk = is_hk_market(market);
  faults_.on_data_call("get_trading_dates", "");
  const TradingCalendar& c = TradingCalendar::of(hk);
  std::vector<Date> dates;
  for (int i = c.first_on_or_after(to_date(start)), last = c.last_on_or_before(to_date(end));
       i <= last; ++i) {
    dates.push_back(c.date(i));
  }
  return dates;
}

SuspensionTable SimMarket::is_suspended(const std::string& order_book_id, const DateArg& start,
                                        const DateArg& end) {
  calls_.note("is_suspended");
  const Universe& u = universe();
  faults_.on_data_call("is_suspended", order_book_id);
  SuspensionTable table;
  std::vector<bool>& column = table.columns.emplace_back(order_book_id, std::vector<bool>{}).second;
  const SimInstrument* ins = u.find(order_book_id);
  if (!ins) return table;
  const TradingCalendar& c = *ins->calendar;
  int first = std::max(ins->first, c.first_on_or_after(to_date(start)));
  int last = std::min(ins->last, c.last_on_or_before(to_date(end)));
  for (int index = first; index <= last; ++index) {
    table.dates.push_back(c.date(index));
    column.push_back(is_suspended_on(*ins, index));
  }
  return table;
}

}  // namespace tessera_plus::tallow::sim
