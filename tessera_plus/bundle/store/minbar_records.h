// Turning the market-data service's minute-bar table into the two record arrays of a minute-bar
// file: the bars for `data` and one entry per trading date for `index`.
#pragma once

#include <cstddef>
#include <vector>

#include "tessera_plus/bundle/store/constants.h"
#include "tessera_plus/h5/record_layout.h"
#include "tessera_plus/market/types.h"

namespace tessera_plus::bundle {

// The records of one fetch. `data` holds `rows` records of `*layout` back to back, in ascending
// time order; `index` has one entry per trading date, `line_no` counted from the first row of
// `data` (the caller shifts it when appending to a file that already holds bars).
struct MinbarRecords {
  const h5::RecordLayout* layout = nullptr;
  std::vector<std::byte> data;
  std::size_t rows = 0;
  std::vector<IndexEntry> index;
};

// Converts `table` into records of `dtypes` (EQUITIES_DTYPE or DERIVATIVES_DTYPE):
// - of rows with the same key (order book id, timestamp) only the first is kept;
// - `datetime` is the bar's timestamp as YYYYMMDDHHMMSS;
// - a bar's trading date is its `trading_date` column when the table has one, else the bar's
//   calendar date;
// - every other field takes the column of the same name; integer fields are truncated toward
//   zero;
// - `index` lists each trading date once, in order of first appearance, with its first row.
// A table of at least one row is expected. Throws KeyError for a missing column, ValueError when
// the rows (after dropping repeats) are not in strictly ascending time order or an integer field
// would receive a value it cannot hold (NaN, infinity, out of range).
MinbarRecords to_minbar_records(const tallow::PriceTable& table, const h5::RecordLayout& dtypes);

}  // namespace tessera_plus::bundle
