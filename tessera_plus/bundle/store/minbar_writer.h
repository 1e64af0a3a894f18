// Creating, extending and repairing one minute-bar file. The bars come from a function the caller
// hands in, so this layer never talks to the service: it only stores what it is given.
#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include "tessera_plus/bundle/store/minbar_records.h"

namespace tessera_plus::bundle {

// The bars from `start_date` (YYYYMMDD) to the caller's end date, as file records; nullopt when
// there are none.
using FetchBars = std::function<std::optional<MinbarRecords>(int start_date)>;
// The trading date after `date` (both YYYYMMDD).
using NextTradingDate = std::function<int(int date)>;

// Creates `h5_file` holding `records`. It is built under a temporary name and published only once
// both datasets are complete: a run killed half-way leaves no half-built file under the real name.
void create_minbar_file(const std::filesystem::path& h5_file, const MinbarRecords& records);

// Brings an existing file up to date.
// - Without `index` (an interrupted build by other means): `data` goes, and both datasets are
//   built anew from `fetch(min_start_date)`.
// - Otherwise `index` and `data` are first cut back to the same last date, and the bars from the
//   next trading date on are appended, unless the instrument was de-listed (`de_listed_date`, 0
//   while listed) on or before the last stored date.
void update_minbar_file(const std::string& h5_file, int min_start_date, int de_listed_date,
                        const FetchBars& fetch, const NextTradingDate& next_trading_date);

}  // namespace tessera_plus::bundle
