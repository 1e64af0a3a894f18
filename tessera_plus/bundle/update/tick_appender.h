// Brings one instrument's tick file up to date: one dataset per trading date.
#pragma once

#include <optional>
#include <string>

#include "tessera_plus/bundle/store/constants.h"

namespace tessera_plus::bundle {

// `path` is the tick directory (bundle/ticks). Runs as a worker task: failures while the file is
// open are logged and clear the shared flag; earlier failures propagate.
void _append_h5_tick(const std::string& order_book_id, const std::string& path,
                     const std::optional<std::string>& file_name = std::nullopt,
                     int min_start_date = MIN_START_DATE, bool rebuild = false);

}  // namespace tessera_plus::bundle
