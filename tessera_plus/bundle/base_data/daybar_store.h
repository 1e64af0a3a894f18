// Daily bars: one HDF5 file per instrument class, one growable dataset per instrument, records
// laid out like equity minute bars (datetime YYYYMMDD000000, prices, volume, turnover).
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "tessera_plus/bundle/store/write_options.h"
#include "tessera_plus/market/types.h"

namespace tessera_plus::bundle {

struct DaybarClass {
  std::string_view file_name;
  std::vector<std::string_view> types;
};

// stocks.h5, funds.h5, indexes.h5, futures.h5, options.h5, convertibles.h5.
const std::vector<DaybarClass>& daybar_classes();

struct InstrumentFailure {
  std::string order_book_id;
  std::string reason;
};

// Brings the file at `path` up to date for those `instruments` whose type belongs to `cls`,
// through `end_date` (YYYYMMDD). An existing file is extended in place in one journaled update (all
// of it or none; no copy of the file); `fresh`, or a missing file, builds the file under a
// temporary name and publishes it when complete. An instrument whose data the service does not
// deliver (unavailable after the client's retries, or not permitted) keeps what the file held and
// is returned; the others are updated all the same, so that one bad answer does not cost the
// whole class its day. An instrument with new dates has its last `recheck_days` stored days asked
// for in the same call, and those the service now answers differently are written again. A file
// that lacks no date is not opened for writing.
std::vector<InstrumentFailure> update_daybar_file(
    const std::string& path, const DaybarClass& cls,
    const std::vector<tallow::Instrument>& instruments, int end_date, bool compression, bool fresh,
    const bundle::WriteOptions& options = {}, int recheck_days = 0);

}  // namespace tessera_plus::bundle
