// Building a minute-bar file's two datasets from a history that arrives in batches of dates, so
// that a worker holds about one batch at a time instead of the whole history. The stored chunks
// and `index` are the same as one fetch of the whole history would give: only whole chunks of
// `data` are stored while bars keep coming, the rows of an unfinished chunk wait for the next
// batch, and `index` (8 bytes a trading day) is written once at the end.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <vector>

#include "tessera_plus/base/publish.h"
#include "tessera_plus/bundle/store/deflate_chunks.h"
#include "tessera_plus/bundle/store/minbar_records.h"
#include "tessera_plus/bundle/store/write_options.h"
#include "tessera_plus/h5/dataset.h"
#include "tessera_plus/h5/file.h"

namespace tessera_plus::bundle {

// The bars of the trading dates from `first` to `last` (YYYYMMDD, both included) as file records;
// nullopt when there are none.
using FetchRange = std::function<std::optional<MinbarRecords>(int first, int last)>;

// The consecutive ranges of at most `batch_days` calendar days (at least 1) that cover the dates
// from `start_date` to `end_date` (YYYYMMDD), in order; none when `end_date` < `start_date`. Every
// date falls in exactly one range, so every trading day is asked for once.
struct DateRange {
  int first = 0;
  int last = 0;
};
std::vector<DateRange> batch_ranges(int start_date, int end_date, int batch_days);

// Writes `data` and `index` into `file`, which has neither, from batches given in time order.
// `data` is created with the first bars; nothing is created when no batch has any.
class MinbarStream {
 public:
  MinbarStream(h5::File& file, ChunkDeflater& deflater) : file_(file), deflater_(deflater) {}

  // Joins `batch` (line numbers counted from its own first row) to the bars so far: a trading
  // date that continues across the join keeps its one `index` entry. Stores every whole chunk of
  // `data` that the bars fill and keeps the rest. ValueError when the batch does not begin after
  // the last bar so far or holds another record type, or when `index` could no longer address the
  // rows.
  void add(const MinbarRecords& batch);
  // Stores the rows kept back, then `index`; returns the bars stored.
  std::uint64_t finish();

  std::uint64_t rows() const { return rows_; }

 private:
  void store(const std::byte* records, std::size_t rows);

  h5::File& file_;
  ChunkDeflater& deflater_;
  const h5::RecordLayout* layout_ = nullptr;
  std::optional<h5::Dataset> data_;
  std::vector<std::byte> unstored_;  // the rows of `data`'s unfinished chunk, fewer than a chunk
  std::vector<IndexEntry> index_;
  std::uint64_t rows_ = 0;
  std::int64_t last_datetime_ = 0;
};

// A new minute-bar file built from batches under a temporary name beside `h5_file` and published
// once complete; destroyed unpublished (a failed batch, a service error on the way out), it
// leaves nothing behind. An existing file at `h5_file` (a rebuild) is replaced by the rename, and
// stays as it was until then; the new file keeps its mode and owner (PendingFile::publish). A
// link or other non-regular file there is refused (ValueError). Only `options.deflate_threads` and
// the fault recorder apply: a new file is not journaled.
class MinbarBuild {
 public:
  MinbarBuild(const std::filesystem::path& h5_file, const WriteOptions& options);

  void add(const MinbarRecords& batch) { stream_.add(batch); }
  // Finishes the datasets and publishes the file under its real name; returns the bars stored.
  // Nothing is published when no batch had bars.
  std::uint64_t publish();

 private:
  PendingFile pending_;
  ChunkDeflater deflater_;
  h5::File file_;
  MinbarStream stream_;
};

}  // namespace tessera_plus::bundle
