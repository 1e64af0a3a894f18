#include "tessera_plus/bundle/store/minbar_stream.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <limits>

#include "tessera_plus/base/datetime_func.h"
#include "tessera_plus/base/errors.h"
#include "tessera_plus/bundle/store/minbar_file.h"
#include "tessera_plus/bundle/store/write_safety.h"

namespace tessera_plus::bundle {
namespace {

namespace chrono = std::chrono;

int shifted(int date, int days) {
  return date_to_number(Date(chrono::sys_days(date_from_number(date)) + chrono::days(days)));
}

// Both record types begin with `datetime`.
std::int64_t datetime_of(const MinbarRecords& records, std::size_t row) {
  std::int64_t value = 0;
  std::memcpy(&value, records.data.data() + row * records.layout->size, sizeof value);
  return value;
}

}  // namespace

std::vector<DateRange> batch_ranges(int start_date, int end_date, int batch_days) {
  if (batch_days < 1) throw ValueError("a batch must span at least one day");
  std::vector<DateRange> ranges;
  for (int first = start_date; first <= end_date;) {
    const int last = std::min(end_date, shifted(first, batch_days - 1));
    ranges.push_back({first, last});
    first = shifted(last, 1);
  }
  return ranges;
}

void MinbarStream::add(const MinbarRecords& batch) {
  if (batch.rows == 0) return;
  if (layout_ && batch.layout != layout_) {
    throw ValueError("a batch of bars holds another record type than the ones before it");
  }
  if (rows_ > 0 && datetime_of(batch, 0) <= last_datetime_) {
    throw ValueError("a batch of bars does not begin after the bars before it");
  }
  if (rows_ + batch.rows > std::numeric_limits<std::uint32_t>::max()) {
    throw ValueError("the file would hold more bars than its index can address");
  }
  layout_ = batch.layout;
  for (const IndexEntry& entry : batch.index) {
    // The first bars of the batch may be the rest of the last day so far (a range that ends in
    // the middle of a trading day's bars): that day keeps its first line.
    if (&entry == &batch.index.front() && !index_.empty() && index_.back().date == entry.date) {
      continue;
    }
    index_.push_back({entry.date, entry.line_no + static_cast<std::uint32_t>(rows_)});
  }
  rows_ += batch.rows;
  last_datetime_ = datetime_of(batch, batch.rows - 1);
  // The unfinished chunk so far is filled up first; the whole chunks after it are stored from the
  // batch itself, and only the rows of the new unfinished chunk are copied.
  const std::size_t size = layout_->size;
  const std::byte* next = batch.data.data();
  std::size_t left = batch.rows;
  if (!unstored_.empty()) {
    const std::size_t take = std::min(left, MINBAR_DATA_CHUNK - unstored_.size() / size);
    unstored_.insert(unstored_.end(), next, next + take * size);
    next += take * size;
    left -= take;
    if (unstored_.size() == MINBAR_DATA_CHUNK * size) {
      store(unstored_.data(), MINBAR_DATA_CHUNK);
      unstored_.clear();
    }
  }
  const std::size_t whole = left - left % MINBAR_DATA_CHUNK;
  store(next, whole);
  unstored_.insert(unstored_.end(), next + whole * size, next + left * size);
}

void MinbarStream::store(const std::byte* records, std::size_t rows) {
  if (rows == 0) return;
  if (!data_) {
    data_ = h5::Dataset::create_empty(file_, "data", *layout_, minbar_creation(MINBAR_DATA_CHUNK));
  }
  append_records(*data_, {layout_, records, rows}, deflater_);
}

std::uint64_t MinbarStream::finish() {
  if (rows_ == 0) return 0;
  store(unstored_.data(), unstored_.size() / layout_->size);
  std::vector<std::byte>().swap(unstored_);
  // Closed now: the file closes only once none of its datasets is open.
  data_.reset();
  h5::Dataset index =
      h5::Dataset::create_empty(file_, "index", INDEX_DTYPE, minbar_creation(MINBAR_INDEX_CHUNK));
  append_records(index, {&INDEX_DTYPE, index_.data(), index_.size()}, deflater_);
  return rows_;
}

namespace {

// A link in place of the file that a build replaces would itself be replaced, not followed:
// refused before anything is written, as the in-place writers refuse it.
const std::filesystem::path& replaceable(const std::filesystem::path& h5_file) {
  require_regular_file(h5_file.string());
  return h5_file;
}

}  // namespace

MinbarBuild::MinbarBuild(const std::filesystem::path& h5_file, const WriteOptions& options)
    : pending_(replaceable(h5_file), recorder_of(options)),
      deflater_(minbar_deflater(options.deflate_threads)),
      file_(h5::File::open(pending_.temp_path(), h5::Mode::kCreate)),
      stream_(file_, deflater_) {}

std::uint64_t MinbarBuild::publish() {
  const std::uint64_t rows = stream_.finish();
  if (rows == 0) return 0;
  file_.close();
  pending_.publish();
  return rows;
}

}  // namespace tessera_plus::bundle
