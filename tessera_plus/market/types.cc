#include "tessera_plus/market/types.h"

#include <fmt/format.h>

namespace tessera_plus::tallow {

Date to_date(const DateArg& arg) {
  struct Visitor {
    Date operator()(std::int64_t n) const { return date_from_number(n); }
    Date operator()(const std::string& s) const {
      if (s.size() == 10 && s[4] == '-' && s[7] == '-') {
        return date_of(parse_datetime(s));
      }
      return date_from_text(s);
    }
    Date operator()(const Date& d) const { return d; }
    Date operator()(const DateTime& t) const { return date_of(t); }
  };
  return std::visit(Visitor{}, arg);
}

std::string describe(const DateArg& arg) {
  struct Visitor {
    std::string operator()(std::int64_t n) const { return std::to_string(n); }
    std::string operator()(const std::string& s) const { return "\"" + s + "\""; }
    std::string operator()(const Date& d) const { return format_dashed(d); }
    std::string operator()(const DateTime& t) const {
      return fmt::format("{} {:09d}", format_dashed(date_of(t)), time_to_number(t));
    }
  };
  return std::visit(Visitor{}, arg);
}

bool PriceTable::has_column(std::string_view name) const {
  if (name == "trading_date") return trading_date.has_value();
  for (const auto& [n, _] : columns_)
    if (n == name) return true;
  return false;
}

const std::vector<double>& PriceTable::column(std::string_view name) const {
  for (const auto& [n, values] : columns_)
    if (n == name) return values;
  throw KeyError(fmt::format("the service's table has no column '{}'", name));
}

std::vector<double>& PriceTable::column(std::string_view name) {
  return const_cast<std::vector<double>&>(std::as_const(*this).column(name));
}

std::vector<double>& PriceTable::add_column(std::string_view name) {
  for (auto& [n, values] : columns_)
    if (n == name) return values;
  columns_.emplace_back(std::string(name), std::vector<double>(rows()));
  return columns_.back().second;
}

void PriceTable::reserve(std::size_t n) {
  order_book_ids.reserve(n);
  timestamps.reserve(n);
  for (auto& [_, values] : columns_) values.reserve(n);
}

const std::vector<bool>& SuspensionTable::column(std::string_view order_book_id) const {
  for (const auto& [id, values] : columns)
    if (id == order_book_id) return values;
  throw KeyError(fmt::format("the suspension table has no column '{}'", order_book_id));
}

std::span<const Instrument> records_of(const InstrumentAnswer& answer) {
  if (const auto* one = std::get_if<Instrument>(&answer)) return {one, 1};
  if (const auto* many = std::get_if<std::vector<Instrument>>(&answer)) return *many;
  return {};
}

}  // namespace tessera_plus::tallow
