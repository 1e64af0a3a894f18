// Which rows of a minute-bar file's `data` hold a span of trading dates, found through `index`, so
// that a reader reads only the chunks of `data` that hold those rows.
#pragma once

#include <vector>

#include "tessera_plus/bundle/store/records.h"
#include "tessera_plus/h5/dataset.h"

namespace tessera_plus::bundle {

struct MinbarRange {
  std::vector<IndexEntry> days;  // the `index` entries of the span, `line_no` as stored
  h5::Size begin = 0;            // the first row of `data` in the span
  h5::Size end = 0;              // one past its last row
};

// The trading dates from `first_date` to `last_date` (YYYYMMDD, both included) of a file whose
// `data` holds `data_length` rows. Reads `index` (8 bytes a trading date), no row of `data`. An
// `index` whose rows go backwards or past `data_length` is the file's damage: OSError, errno 0.
MinbarRange minbar_range(const h5::Dataset& index, h5::Size data_length, int first_date,
                         int last_date);

}  // namespace tessera_plus::bundle
