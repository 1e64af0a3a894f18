#include "tessera_plus/bundle/store/tick_writer.h"

#include <algorithm>

#include "tessera_plus/base/errors.h"
#include "tessera_plus/base/publish.h"
#include "tessera_plus/bundle/store/constants.h"
#include "tessera_plus/bundle/store/dates.h"
#include "tessera_plus/bundle/store/tick_layout.h"
#include "tessera_plus/bundle/store/write_safety.h"
#include "tessera_plus/h5/blosc.h"
#include "tessera_plus/h5/dataset.h"

namespace tessera_plus::bundle {
namespace {

// The Blosc filter only works on chunked datasets. A chunk of up to 8192 records (about 2 MB)
// holds a whole stock day (some 4800 ticks at one every 3 seconds), so a day is compressed and
// read back in one piece with a single chunk-index entry; busier contracts get a few chunks of
// that size rather than one huge buffer. A short day gets a chunk of exactly its length, so no
// chunk is padded.
constexpr h5::Size kTickChunkRecords = 8192;

}  // namespace

std::optional<std::string> latest_tick_day(const h5::File& file) {
  const int today = today_number();
  std::optional<std::string> latest;
  for (const std::string& name : file.member_names()) {
    if (is_tick_day_name(name, today) && (!latest || name > *latest)) latest = name;
  }
  return latest;
}

std::optional<std::string> nth_latest_tick_day(const h5::File& file, int n) {
  const int today = today_number();
  std::vector<std::string> days;
  for (std::string& name : file.member_names()) {
    if (is_tick_day_name(name, today)) days.push_back(std::move(name));
  }
  if (days.empty()) return std::nullopt;
  const std::size_t back =
      std::min<std::size_t>(static_cast<std::size_t>(std::max(n, 1)), days.size());
  std::nth_element(days.begin(), days.end() - static_cast<std::ptrdiff_t>(back), days.end());
  return days[days.size() - back];
}

namespace {

void write_day(h5::File& file, const std::string& name, const std::vector<std::byte>& records,
               std::vector<std::byte>& scratch) {
  const std::size_t count = records.size() / H5TicksLoader::DTYPES.size;
  h5::Creation how = COMPRESSION_KWARGS;
  how.chunk = std::min<h5::Size>(count, kTickChunkRecords);
  // The chunks are compressed here and written past HDF5's pipeline: the filter's path copies
  // every record twice on the way, which cost as much as the compression itself.
  h5::Dataset ds = h5::Dataset::create(file, name, H5TicksLoader::DTYPES, nullptr, count, how);
  h5::write_blosc_rows(ds, records.data(), count, H5TicksLoader::DTYPES.size, scratch);
}

// True when the day `ds` holds exactly `records`. A day that cannot be read as tick records (a
// marker, another layout, damage) does not.
bool holds_exactly(const h5::Dataset& ds, const std::vector<std::byte>& records) {
  const std::size_t count = records.size() / H5TicksLoader::DTYPES.size;
  try {
    if (ds.length() != count) return false;
    std::vector<std::byte> stored(records.size());
    ds.read(H5TicksLoader::DTYPES, 0, count, stored.data());
    return stored == records;
  } catch (const KeyError&) {
    return false;
  } catch (const OSError&) {
    return false;
  }
}

}  // namespace

bool holds_tick_day(h5::File& file, const std::string& name,
                    const std::vector<std::byte>& records) {
  if (!file.has(name)) return false;
  try {
    // Checked as a write would check it: a day kept elsewhere is never read as the file's own,
    // and the write that follows refuses it.
    return holds_exactly(open_for_write(file, name), records);
  } catch (const ValueError&) {
    return false;
  }
}

bool replace_tick_day(h5::File& file, const std::string& name,
                      const std::vector<std::byte>& records, std::vector<std::byte>& scratch) {
  if (!file.has(name)) {
    write_day(file, name, records, scratch);
    return true;
  }
  if (holds_exactly(open_for_write(file, name), records)) return false;
  // The new day is written in full under a hidden name before the old one goes: HDF5 hands the
  // space of a deleted dataset to the next allocation that fits, and a reader that still holds the
  // old day would read whatever landed there. Created first, the new day cannot land there.
  const std::string hidden = "." + name;
  write_day(file, hidden, records, scratch);
  file.remove(name);
  file.rename(hidden, name);
  return true;
}

void mark_suspended_day(h5::File& file, const std::string& name) {
  if (!file.has(name)) {
    h5::Dataset::create(file, name, H5TicksLoader::DTYPES, nullptr, 0, h5::Creation{});
  }
}

namespace {

h5::File open_first(const std::filesystem::path& path, const WriteOptions& options, bool replace,
                    std::unique_ptr<PendingFile>& pending) {
  require_regular_file(path.string());
  if (!replace && std::filesystem::exists(path)) return open_for_update(path.string(), options);
  pending = std::make_unique<PendingFile>(path, recorder_of(options));
  return h5::File::open(pending->temp_path(), h5::Mode::kCreate);
}

}  // namespace

TickFileUpdate::TickFileUpdate(const std::filesystem::path& file_path, const WriteOptions& options,
                               bool replace)
    : path_(file_path),
      options_(options),
      replace_(replace),
      file_(open_first(file_path, options, replace, pending_)) {}

// An unfinished batch is dropped: the journal rolls it back, an unpublished build is removed.
TickFileUpdate::~TickFileUpdate() = default;

void TickFileUpdate::publish_pending() {
  file_.close();
  pending_->publish();
  pending_.reset();
}

h5::File& TickFileUpdate::file() {
  if (closed_) {
    file_ = open_for_update(path_.string(), options_);
    closed_ = false;
  }
  return file_;
}

void TickFileUpdate::commit() {
  if (closed_ || (pending_ && replace_)) return;
  if (pending_) {
    publish_pending();
  } else {
    file_.close();
  }
  closed_ = true;
}

void TickFileUpdate::finish() {
  if (closed_) return;
  if (pending_) {
    publish_pending();
  } else {
    file_.close();
  }
}

void update_tick_file(const std::filesystem::path& file_path,
                      const std::function<void(TickFileUpdate&)>& update,
                      const WriteOptions& options, bool replace) {
  TickFileUpdate session(file_path, options, replace);
  update(session);
  session.finish();
}

}  // namespace tessera_plus::bundle
