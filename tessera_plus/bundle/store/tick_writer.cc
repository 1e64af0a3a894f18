#include "tessera_plus/bundle/store/tick_writer.h"

#include <algorithm>

#include "tessera_plus/base/publish.h"
#include "tessera_plus/bundle/store/constants.h"
#include "tessera_plus/bundle/store/dates.h"
#include "tessera_plus/bundle/store/ticks_loader.h"
#include "tessera_plus/h5/dataset.h"
#include "tessera_plus/h5/mode.h"

namespace tessera_plus::bundle {
namespace {

using tessera::H5TicksLoader;

// The Blosc filter only works on chunked datasets. A chunk of up to 8192 records (about 2 MB)
// holds a whole stock day (some 4800 ticks at one every 3 seconds), so a day is compressed and
// read back in one piece with a single chunk-index entry; busier contracts get a few chunks of
// that size rather than one huge buffer. A short day gets a chunk of exactly its length, so no
// chunk is padded.
constexpr h5::Size kTickChunkRecords = 8192;

void run_and_close(const std::string& path, h5::Mode mode,
                   const std::function<void(h5::File&)>& update) {
  h5::File file = h5::File::open(path, mode);
  update(file);
  file.close();
}

}  // namespace

std::optional<std::string> latest_tick_day(const h5::File& file) {
  const int today = today_number();
  std::optional<std::string> latest;
  for (const std::string& name : file.member_names()) {
    if (is_tick_day_name(name, today) && (!latest || name > *latest)) latest = name;
  }
  return latest;
}

void replace_tick_day(h5::File& file, const std::string& name,
                      const std::vector<std::byte>& records) {
  const std::size_t count = records.size() / H5TicksLoader::DTYPES.size;
  if (file.has(name)) file.remove(name);
  h5::Creation how = COMPRESSION_KWARGS;
  how.chunk = std::min<h5::Size>(count, kTickChunkRecords);
  h5::Dataset::create(file, name, H5TicksLoader::DTYPES, records.data(), count, how);
}

void mark_suspended_day(h5::File& file, const std::string& name) {
  if (!file.has(name)) {
    h5::Dataset::create(file, name, H5TicksLoader::DTYPES, nullptr, 0, h5::Creation{});
  }
}

void update_tick_file(const std::filesystem::path& file_path,
                      const std::function<void(h5::File&)>& update) {
  if (std::filesystem::exists(file_path)) {
    run_and_close(file_path.string(), tessera::get_h5_mode(file_path.string()), update);
    return;
  }
  PendingFile pending(file_path);
  try {
    run_and_close(pending.temp_path(), h5::Mode::kCreate, update);
  } catch (...) {
    if (std::filesystem::exists(pending.temp_path())) pending.publish();
    throw;
  }
  pending.publish();
}

}  // namespace tessera_plus::bundle
