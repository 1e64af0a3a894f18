// Values exchanged with the market-data service: date arguments, instrument records and the
// tables it answers with.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "tessera_plus/base/datetime_func.h"
#include "tessera_plus/base/errors.h"

namespace tessera_plus::tallow {

using tessera_plus::Date;
using tessera_plus::DateTime;

// The service's error kinds. Only ServiceUnavailable is worth asking again; the others say
// something about the request or the account that a second attempt will not change. Unknown
// instruments and bad arguments are ValueError or KeyError (errors.h).

// The account may not use the requested data.
class PermissionDenied : public Error {
 public:
  using Error::Error;
};

// The service could not answer this time: a timeout, an overload, a rate limit, a dropped
// connection. The same request may well succeed a moment later.
class ServiceUnavailable : public Error {
 public:
  using Error::Error;
};

// A date as callers pass it: integer YYYYMMDD, eight-digit text, a calendar date or a timestamp.
// The alternative is kept as given so that tests can see exactly what was asked.
using DateArg = std::variant<std::int64_t, std::string, Date, DateTime>;

// ValueError when the argument does not name a valid date.
Date to_date(const DateArg& arg);
// A readable rendering that keeps the alternative visible: 20240628, "20240628", 2024-06-28.
std::string describe(const DateArg& arg);

struct Instrument {
  std::string order_book_id{};
  std::string symbol{};
  std::string type{};      // an INSTRUMENT_TYPE value
  std::string exchange{};  // XSHE, XSHG, BJSE, XHKG, SHFE, ...
  std::string listed_date = "0000-00-00";
  std::string de_listed_date = "0000-00-00";  // "0000-00-00" while still listed
  std::string underlying_order_book_id{};     // futures and options; empty otherwise
  std::string underlying_symbol{};            // futures; empty otherwise
  std::string stock_code{};                   // convertible bonds: the conversion stock
};

// None, one record, or a list of records.
using InstrumentAnswer = std::variant<std::monostate, Instrument, std::vector<Instrument>>;

// The records of an answer, whichever of the three shapes it has: none, one or several.
std::span<const Instrument> records_of(const InstrumentAnswer& answer);

// A table keyed by (order book id, timestamp) with named numeric columns. `trading_date` is a
// column of timestamps that the service may or may not send.
class PriceTable {
 public:
  std::vector<std::string> order_book_ids;  // key level 0, one per row
  std::vector<DateTime> timestamps;         // key level 1, one per row
  std::optional<std::vector<DateTime>> trading_date;

  std::size_t rows() const { return timestamps.size(); }
  bool empty() const { return timestamps.empty(); }
  bool has_column(std::string_view name) const;
  // KeyError when absent.
  const std::vector<double>& column(std::string_view name) const;
  std::vector<double>& column(std::string_view name);
  // Adds (or returns the existing) column, sized to the current row count.
  std::vector<double>& add_column(std::string_view name);
  const std::vector<std::pair<std::string, std::vector<double>>>& columns() const {
    return columns_;
  }
  void reserve(std::size_t rows);

 private:
  std::vector<std::pair<std::string, std::vector<double>>> columns_;
};

// A column of suspended / not suspended per order book id, over `dates`.
struct SuspensionTable {
  std::vector<Date> dates{};
  std::vector<std::pair<std::string, std::vector<bool>>> columns{};
  // KeyError when the id has no column.
  const std::vector<bool>& column(std::string_view order_book_id) const;
};

struct AllInstrumentsArgs {
  std::optional<std::string> type{};
  std::optional<std::string> market{};
  std::optional<DateArg> date{};
};

struct PriceArgs {
  std::optional<DateArg> start_date{};
  std::optional<DateArg> end_date{};
  std::optional<std::string> frequency{};  // "1m", "tick"; daily when absent
  std::optional<std::string> adjust_type{};
  std::optional<bool> expect_df{};
  std::optional<std::string> market{};
};

}  // namespace tessera_plus::tallow
