// Conversions between the client contract's values and the Python objects a client library
// exchanges: pandas DataFrames, instrument records, dates. Call with the interpreter lock held.
//
// Every conversion is exact or refuses: a table without the (order book id, datetime) key, a
// column that is not numeric, a date that is not a date is a ValueError naming what was wrong,
// never a silently guessed value. Columns are taken as they come; which ones a caller needs is
// the caller's business (a missing one is its KeyError).
#pragma once

#include <string>
#include <vector>

#include <pybind11/pytypes.h>

#include "tessera_plus/market/types.h"

namespace tessera_plus::pysource {

namespace py = pybind11;

// An argument as the client library takes it: int, str, datetime.date or datetime.datetime.
py::object to_python(const tallow::DateArg& arg);

// None, or a DataFrame keyed by a two-level (order_book_id, datetime) MultiIndex. An empty frame
// gives an empty table. `trading_date` (datetime64 or YYYYMMDD integers) becomes the table's
// trading dates; every other column must be numeric or boolean and becomes doubles.
std::optional<tallow::PriceTable> price_table_from(const py::handle& answer);

// One record: an object with attributes or a mapping. Absent, None and NaN fields stay empty;
// dates (date, datetime, Timestamp) become "YYYY-MM-DD".
tallow::Instrument instrument_from(const py::handle& record);
// None, one record, or a list/tuple of records.
tallow::InstrumentAnswer instrument_answer_from(const py::handle& answer);
// A DataFrame (one row per instrument) or a sequence of records; None is no instruments.
std::vector<tallow::Instrument> instrument_list_from(const py::handle& answer);

// date, datetime, pandas Timestamp, numpy datetime64, YYYYMMDD integer or eight-digit text.
Date date_from(const py::handle& value);

// A DataFrame indexed by date with one boolean column per order book id; None gives no rows.
tallow::SuspensionTable suspension_table_from(const py::handle& answer);

}  // namespace tessera_plus::pysource
