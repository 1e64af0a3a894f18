// One instrument's tick file: a dataset per trading date named "%Y%m%d", and empty datasets that
// mark a stock's suspended days. The ticks come from the caller; this layer only stores them.
#pragma once

#include <cstddef>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "tessera_plus/h5/file.h"

namespace tessera_plus::bundle {

// The newest dataset name of `file` ("%Y%m%d", so text order is date order) among those that are
// real dates no later than today (is_tick_day_name); nullopt when there is none.
std::optional<std::string> latest_tick_day(const h5::File& file);

// Writes a day whole: an existing dataset of that name is dropped and created anew from `records`
// (packed H5TicksLoader::DTYPES). The dropped dataset's space goes back to the file's free-space
// tracking and is reused.
void replace_tick_day(h5::File& file, const std::string& name,
                      const std::vector<std::byte>& records);

// Adds an empty dataset named `name` unless one exists: a marker that the stock was suspended that
// day, so that checkers do not take the missing ticks for a gap. Markers carry no data, hence no
// filter and no chunking.
void mark_suspended_day(h5::File& file, const std::string& name);

// Opens the tick file at `file_path` and runs `update` on it. A file that did not exist is built
// under a temporary name and published once closed, also after `update` failed (what was written
// stays; the failure still propagates), so only a killed run leaves anything unfinished, and then
// under a name the next run's sweep removes.
void update_tick_file(const std::filesystem::path& file_path,
                      const std::function<void(h5::File&)>& update);

}  // namespace tessera_plus::bundle
