// Brings one instrument's minute-bar file up to date: creates, extends, repairs or rebuilds it.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "tessera_plus/bundle/store/write_options.h"
#include "tessera_plus/bundle/update/writer.h"
#include "tessera_plus/h5/record_layout.h"

namespace tessera_plus::bundle {

// `request.path` is the minute-bar directory (bundle/h5); the file goes to its class
// sub-directory. Runs as a worker task: failures while the file is open are logged, clear the
// shared flag and come back as a failed result (write_guard.h); earlier failures (an unknown
// instrument, a service error while fetching a new file) propagate. `options` say how many threads
// compress the file's chunks (deflate_threads) and how many days of history a file built from its
// first date fetches and stores at a time (batch_days).
// Where the minute bars of `request.order_book_id` go, as the service lists the instrument: its
// class directory under `request.path` (not created here) and file, and what the listing says
// about its bars. nullopt when the instrument has no minute-bar file (a class without files,
// de-listed before the first date); ValueError for an instrument the service does not know.
struct MinbarTarget {
  std::filesystem::path dir{};
  std::string file{};
  std::string market{};
  int de_listed_date = 0;  // 0 while listed
  const h5::RecordLayout* dtypes = nullptr;
};
std::optional<MinbarTarget> minbar_target(const WriteRequest& request);

WriteResult _append_h5(const WriteRequest& request, const WriteOptions& options = {});

}  // namespace tessera_plus::bundle
