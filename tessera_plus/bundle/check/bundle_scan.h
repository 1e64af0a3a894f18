// What both checkers share: finding the files of a bundle, naming their instruments and slicing the
// trading calendar.
#pragma once

#include <algorithm>
#include <span>
#include <string>
#include <vector>

namespace tessera_plus::bundle::check_detail {

// `base` and `name` joined by one '/'; an empty `base` gives `name` alone.
std::string join_path(const std::string& base, const std::string& name);

// Whether anything (file, directory, or what a symbolic link points to) exists at `path`.
bool path_exists(const std::string& path);

// The entries of `dir` whose names end in ".h5" and do not begin with a dot, as `dir` joined with
// the name, in directory-listing order. Directories are left out: only files can be instrument
// files, and a directory could neither be checked nor deleted as one. Anything else that is not a
// regular file (a FIFO, a socket, a device) is left out too: opening one could block forever. A
// missing or unreadable `dir` gives no entries.
std::vector<std::string> list_h5_files(const std::string& dir);

// The same for every entry of `dir` not beginning with a dot: the files exactly one level below.
std::vector<std::string> list_h5_files_one_level_down(const std::string& dir);

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
