// Updates the daily bars and the base data that the rest of the bundle module reads (trading
// calendar, suspensions, instrument list).
#pragma once

#include <string>

namespace tessera_plus::bundle {

struct TallowKwargs {
  bool enable_bjse = false;
};

// OSError (ENOENT) naming `path` and what to run when the bundle directory `path` does not exist:
// what an update of an existing bundle needs.
void require_bundle_directory(const std::string& path);

// Updates the bundle directory `path` (which must exist):
//   trading_dates.npy  the calendar, ascending YYYYMMDD int64, NPY 1.0
//   suspended_days.h5  one int64 dataset of YYYYMMDD per stock with suspended days
//   instruments.pk     the instrument list, a pickled list of dicts
//   <class>.h5         daily bars, deflate-compressed when `enable_compression`
// `create` builds every file afresh; otherwise the daily bars are extended, their last
// `recheck_days` stored days fetched again in the same call and written again when revised. A file
// whose content would not change is left as it is (bytes and modification time). The work runs in
// up to `concurrency` worker processes whose market-data clients are initialised with
// `tallow_kwargs`; the caller's client is left as it was. True when every part succeeded; each
// failure is logged.
bool update_daybar(const std::string& path, bool create, bool enable_compression, int concurrency,
                   const TallowKwargs& tallow_kwargs, int recheck_days = 1);

}  // namespace tessera_plus::bundle
