// What both checkers share: telling whether a base-data file is there, naming a file's folder and
// slicing the trading calendar. Where the files are is the bundle layout's (store/bundle_layout.h).
#pragma once

#include <algorithm>
#include <ostream>
#include <span>
#include <string>
#include <vector>

#include "tessera_plus/bundle/check/check_result.h"
#include "tessera_plus/bundle/store/bundle_layout.h"

namespace tessera_plus::bundle::check_detail {

// Whether anything (file, directory, or what a symbolic link points to) exists at `path`.
bool path_exists(const std::string& path);

// Finishes what interrupted updates left unfinished in the bundle under `data_bundle_path`
// (recover_unfinished_files), before a check reads it, with one line on `out` for each such file.
void finish_interrupted_updates(const std::string& data_bundle_path, std::ostream& out);

// Entries that stand where files to check would and are none (store/bundle_layout.h: OddEntry),
// among the findings that are reported and never deleted, with their reasons.
void add_odd_entries(const std::vector<OddEntry>& odd, CheckFindings& findings);

// The name of the directory that directly holds `path`.
std::string folder_of(const std::string& path);

// The calendar entries from the first not less than `start_date` through the first not less than
// `end_date`, both included; entries past the end are simply absent. So a non-trading `end_date`
// brings in the next trading date as well.
template <typename T>
std::span<const T> calendar_slice(std::span<const T> calendar, const T& start_date,
                                  const T& end_date) {
  auto start = std::lower_bound(calendar.begin(), calendar.end(), start_date);
  auto end = std::lower_bound(calendar.begin(), calendar.end(), end_date);
  if (end != calendar.end()) ++end;
  if (end <= start) return {};
  return std::span<const T>(start, end);
}

}  // namespace tessera_plus::bundle::check_detail
