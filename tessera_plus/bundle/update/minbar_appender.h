// Brings one instrument's minute-bar file up to date: creates, extends, repairs or rebuilds it.
#pragma once

#include <optional>
#include <string>

#include "tessera_plus/bundle/store/constants.h"
#include "tessera_plus/bundle/store/write_options.h"

namespace tessera_plus::bundle {

// `path` is the minute-bar directory (bundle/h5); the file goes to its class sub-directory.
// Runs as a worker task: failures while the file is open are logged and clear the shared flag;
// earlier failures (an unknown instrument, a service error while fetching a new file) propagate.
// `options` say how many threads compress the file's chunks (deflate_threads).
void _append_h5(const std::string& order_book_id, const std::string& path,
                const std::optional<std::string>& file_name = std::nullopt,
                int min_start_date = MIN_START_DATE, bool rebuild = false,
                const WriteOptions& options = {});

}  // namespace tessera_plus::bundle
