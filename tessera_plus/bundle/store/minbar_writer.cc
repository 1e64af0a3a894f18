#include "tessera_plus/bundle/store/minbar_writer.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <vector>

#include "tessera_plus/base/errors.h"
#include "tessera_plus/base/publish.h"
#include "tessera_plus/bundle/store/minbar_file.h"
#include "tessera_plus/bundle/store/minbar_tail.h"
#include "tessera_plus/bundle/store/write_safety.h"
#include "tessera_plus/h5/dataset.h"
#include "tessera_plus/h5/file.h"

namespace tessera_plus::bundle {
namespace {

// A file without `index`: whatever `data` it has goes, and both datasets are built anew.
void rebuild_in_place(h5::File& file, const MinbarSource& source, unsigned threads) {
  std::optional<MinbarRecords> fetched = source.fetch(source.min_start_date);
  if (file.has("data")) {
    require_hard_link(file, "data");
    file.remove("data");
  }
  if (!fetched) return;
  ChunkDeflater deflater = minbar_deflater(threads);
  create_minbar_datasets(file, *fetched, deflater);
}

// Cuts a tail that cannot be right back to the last sound day, then brings `index` and `data` back
// to the same last date; returns the last `index` entry then.
IndexEntry make_consistent(h5::Dataset& index, h5::Dataset& data) {
  if (std::optional<SoundPrefix> sound = unsound_tail(index, data)) {
    data.resize(sound->data_length);
    index.resize(sound->index_length);
  }
  IndexEntry latest = last_index_entry(index);
  int data_date = last_data_date(data);
  if (latest.date == data_date) return latest;
  cut_back(index, data, std::min(latest.date, data_date));
  return last_index_entry(index);
}

void shift_line_numbers(std::vector<IndexEntry>& index, h5::Size offset, std::size_t rows) {
  if (offset + rows > std::numeric_limits<std::uint32_t>::max()) {
    throw ValueError("the file would hold more bars than its index can address");
  }
  for (IndexEntry& entry : index) entry.line_no += static_cast<std::uint32_t>(offset);
}

void extend(h5::File& file, const MinbarSource& source, unsigned threads) {
  h5::Dataset index = open_for_write(file, "index");
  h5::Dataset data = open_for_write(file, "data");
  IndexEntry latest = make_consistent(index, data);
  if (source.de_listed_date != 0 && latest.date >= source.de_listed_date) return;
  std::optional<MinbarRecords> fetched = source.fetch(source.next_trading_date(latest.date));
  if (!fetched) return;
  // The new bars land after the last stored row, so that is where their line numbers start.
  // (Counting from the last entry's `line_no` instead would point past the bars whenever that
  // entry claims rows that `data` does not hold.)
  shift_line_numbers(fetched->index, data.length(), fetched->rows);
  // Both land in one journaled commit; the order only matters to files written without it.
  ChunkDeflater deflater = minbar_deflater(threads);
  append_records(index, {&INDEX_DTYPE, fetched->index.data(), fetched->index.size()}, deflater);
  append_records(data, {fetched->layout, fetched->data.data(), fetched->rows}, deflater);
}

}  // namespace

void create_minbar_file(const std::filesystem::path& h5_file, const MinbarRecords& records,
                        const WriteOptions& options) {
  ChunkDeflater deflater = minbar_deflater(options.deflate_threads);
  publish_file(h5_file, recorder_of(options), [&](const std::string& temp) {
    h5::File file = h5::File::open(temp, h5::Mode::kCreate);
    create_minbar_datasets(file, records, deflater);
    file.close();
  });
}

void update_minbar_file(const std::string& h5_file, const MinbarSource& source,
                        const WriteOptions& options) {
  require_regular_file(h5_file);
  h5::File file = open_for_update(h5_file, options);
  if (!file.has("index")) {
    rebuild_in_place(file, source, options.deflate_threads);
  } else {
    extend(file, source, options.deflate_threads);
  }
  file.close();
}

}  // namespace tessera_plus::bundle
