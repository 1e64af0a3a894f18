// Turning the service's tick table into the tick file's records: duplicate ticks resolved, rows
// grouped by trading date, columns scaled and packed as H5TicksLoader::DTYPES.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "tessera_plus/market/types.h"

namespace tessera_plus::bundle {

// The rows of one trading date, in table order.
struct TickDayRows {
  Date trading_date;
  std::vector<std::size_t> rows;
};

// Groups the rows of `ticks` by the calendar date of their `trading_date`, ascending. Of rows that
// share a key (order book id, timestamp) only the last one is kept. KeyError when the table has no
// `trading_date` column.
std::vector<TickDayRows> group_tick_rows(const tallow::PriceTable& ticks);

// Packed records of H5TicksLoader::DTYPES for `rows` of `ticks`, in that order, into `records`,
// whose memory a caller building day after day keeps (every byte of a record is a field's, so
// nothing of the previous day's records survives). `date` and `time` come from each row's
// timestamp, `open_interest` is 0 when the table lacks it; every other column of
// H5TicksLoader::COLUMNS must be present (KeyError otherwise). Each value is multiplied by its
// field's factor and converted to the field's type, integers truncated toward zero.
void build_tick_records(const tallow::PriceTable& ticks, std::span<const std::size_t> rows,
                        std::vector<std::byte>& records);

}  // namespace tessera_plus::bundle
