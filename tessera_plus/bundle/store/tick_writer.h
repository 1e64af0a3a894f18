// One instrument's tick file: a dataset per trading date named "%Y%m%d", and empty datasets that
// mark a stock's suspended days. The ticks come from the caller; this layer only stores them.
#pragma once

#include <cstddef>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tessera_plus/base/publish.h"
#include "tessera_plus/bundle/store/write_options.h"
#include "tessera_plus/h5/file.h"

namespace tessera_plus::bundle {

// The newest dataset name of `file` ("%Y%m%d", so text order is date order) among those that are
// real dates no later than today (is_tick_day_name); nullopt when there is none.
std::optional<std::string> latest_tick_day(const h5::File& file);

// The `n`-th newest such name (n >= 1; the oldest when there are fewer); nullopt when there is
// none. Where an update that looks again at the last `n` stored days starts.
std::optional<std::string> nth_latest_tick_day(const h5::File& file, int n);

// Whether the day `name` of `file` holds exactly `records` (a marker, another layout, damage or a
// day that a write would refuse does not).
bool holds_tick_day(h5::File& file, const std::string& name, const std::vector<std::byte>& records);

// Writes a day whole from `records` (packed H5TicksLoader::DTYPES). An existing dataset of that
// name that already holds exactly these records is left alone; otherwise the new one is written
// under a hidden name first, then the old one is dropped and the new one takes its name, so that
// nothing of this session lands in the old day's space (a reader that holds the file may still be
// reading it). The dropped dataset's space goes back to the file's free-space tracking and is
// reused by later updates. A member of that name that links elsewhere or keeps its values in other
// files is refused. `scratch` is working memory, best kept from one day to the next. True when the
// day was written.
bool replace_tick_day(h5::File& file, const std::string& name,
                      const std::vector<std::byte>& records, std::vector<std::byte>& scratch);

// Adds an empty dataset named `name` unless one exists: a marker that the stock was suspended that
// day, so that checkers do not take the missing ticks for a gap. Markers carry no data, hence no
// filter and no chunking.
void mark_suspended_day(h5::File& file, const std::string& name);

// A tick file being brought up to date batch by batch. A file that did not exist is built under a
// temporary name until its first batch is complete, then published; every later batch (and every
// batch of an existing file) is a journaled update of the real file. A run that fails or is killed
// loses the batch it was writing, never the batches before it, and never leaves a file that is
// neither its old nor its new self.
// A rebuild (`replace`) starts from an empty file under a temporary name whether or not the file
// exists, and keeps building there through every batch: the old file stays in place and readable
// until finish() renames the new one over it, so a rebuild that fails or is killed costs the
// rebuild, never the old file.
class TickFileUpdate {
 public:
  TickFileUpdate(const std::filesystem::path& file_path, const WriteOptions& options,
                 bool replace = false);
  TickFileUpdate(const TickFileUpdate&) = delete;
  TickFileUpdate& operator=(const TickFileUpdate&) = delete;
  ~TickFileUpdate();

  // The file; after a commit it is opened again here, so that the lock is not held while the next
  // batch is fetched.
  h5::File& file();
  // Makes what was written so far durable under the real name; the next batch opens the file again.
  // A rebuild goes on in its temporary file instead: its batches appear together, at finish().
  void commit();
  // Commits and closes; the object is done afterwards.
  void finish();

 private:
  void publish_pending();
  std::filesystem::path path_;
  WriteOptions options_;
  std::unique_ptr<PendingFile> pending_;
  bool replace_;
  h5::File file_;
  bool closed_ = false;
};

// Runs `update` on the tick file at `file_path` through a TickFileUpdate (a rebuild with
// `replace`) and finishes it. A file that is a link or not a regular file is refused before
// anything is written.
void update_tick_file(const std::filesystem::path& file_path,
                      const std::function<void(TickFileUpdate&)>& update,
                      const WriteOptions& options = {}, bool replace = false);

}  // namespace tessera_plus::bundle
