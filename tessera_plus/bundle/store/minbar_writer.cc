#include "tessera_plus/bundle/store/minbar_writer.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <vector>

#include "tessera_plus/base/errors.h"
#include "tessera_plus/base/publish.h"
#include "tessera_plus/bundle/store/minbar_file.h"
#include "tessera_plus/bundle/store/minbar_recheck.h"
#include "tessera_plus/bundle/store/minbar_tail.h"
#include "tessera_plus/bundle/store/write_safety.h"
#include "tessera_plus/h5/dataset.h"
#include "tessera_plus/h5/file.h"

namespace tessera_plus::bundle {
namespace {

// What an update does to a file whose tail is sound: how much of it stays (all of it unless a
// stored day was found revised) and what is appended after that.
struct TailPlan {
  h5::Size index_keep = 0;
  h5::Size data_keep = 0;
  std::optional<MinbarRecords> append{};
  std::vector<int> revised_days{};

  bool cuts(h5::Size index_length) const { return index_keep < index_length; }
  bool writes(h5::Size index_length) const { return cuts(index_length) || append.has_value(); }
};

// What a read of the file without the write lock found (a sound tail ending on one day in both
// datasets), and the plan made from it.
struct FetchedAhead {
  IndexEntry last_entry{};
  h5::Size index_length = 0;
  h5::Size data_length = 0;
  TailPlan plan;

  // The write session finds the file as it was read: the same lengths and last entry. (Every
  // write of these files is one journaled commit, so a file changed in between differs there.)
  bool still_matches(const h5::Dataset& index, const h5::Dataset& data) const {
    if (index.length() != index_length || data.length() != data_length) return false;
    const IndexEntry now = last_index_entry(index);
    return now.date == last_entry.date && now.line_no == last_entry.line_no;
  }
};

// A file without `index` (an interrupted build by other means): built anew beside it, exactly as a
// new file is, and renamed over it once complete, so that the old file stays in place until then.
// Returns the bars stored; with none, the old file is left as it was.
std::uint64_t rebuild_by_replacing(const std::string& h5_file, const MinbarSource& source,
                                   const WriteOptions& options) {
  MinbarBuild build(h5_file, options);
  if (source.fetch_range) {
    for (const DateRange& range :
         batch_ranges(source.min_start_date, source.end_date, source.batch_days)) {
      if (std::optional<MinbarRecords> batch = source.fetch_range(range.first, range.last)) {
        build.add(*batch);
      }
    }
  } else if (std::optional<MinbarRecords> fetched = source.fetch(source.min_start_date)) {
    build.add(*fetched);
  }
  return build.publish();
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

bool de_listed_by(const MinbarSource& source, int date) {
  return source.de_listed_date != 0 && date >= source.de_listed_date;
}

TailPlan keep_all(const h5::Dataset& index, const h5::Dataset& data) {
  return {.index_keep = index.length(), .data_keep = data.length()};
}

// The plan for a file whose last sound entry is `latest`. The days after it are fetched; when
// there are any, the same call starts `source.recheck_days` stored days earlier, and stored days
// that the service now answers differently are cut and written again. With nothing new the service
// is not asked again for the stored days: a run that adds nothing costs no call and no write.
TailPlan plan_tail(const h5::Dataset& index, const h5::Dataset& data, const IndexEntry& latest,
                   const MinbarSource& source) {
  TailPlan plan = keep_all(index, data);
  if (de_listed_by(source, latest.date)) return plan;
  const int next = source.next_trading_date(latest.date);
  const bool nothing_new = source.end_date != 0 && next > source.end_date;
  if (source.recheck_days <= 0 || nothing_new || index.length() == 0) {
    plan.append = source.fetch(next);
    return plan;
  }
  const RecheckWindow window = recheck_window(index, data, source.recheck_days);
  std::optional<MinbarRecords> fetched = source.fetch(window.first_date());
  if (!fetched) return plan;
  WindowRevision revision = compare_window(data, window, *fetched);
  if (revision.keep_entries < window.entries.size()) {
    plan.index_keep = window.index_from + revision.keep_entries;
    plan.data_keep = window.entries[revision.keep_entries].line_no;
    plan.revised_days = std::move(revision.revised_days);
  }
  MinbarRecords tail = records_from(*fetched, revision.append_from);
  if (tail.rows > 0) plan.append = std::move(tail);
  return plan;
}

// Cuts what the plan revises and appends its bars; returns the bars stored.
std::uint64_t apply(h5::Dataset& index, h5::Dataset& data, TailPlan& plan, unsigned threads) {
  if (plan.cuts(index.length())) {
    data.resize(plan.data_keep);
    index.resize(plan.index_keep);
  }
  if (!plan.append) return 0;
  MinbarRecords& fetched = *plan.append;
  // The new bars land after the last stored row, so that is where their line numbers start.
  // (Counting from the last entry's `line_no` instead would point past the bars whenever that
  // entry claims rows that `data` does not hold.)
  shift_line_numbers(fetched.index, data.length(), fetched.rows);
  // Both land in one journaled commit. The stored chunks written again go last, `data`'s after
  // `index`'s (the larger after the smaller), so that no other chunk can land where a reader that
  // holds the old file still looks (HeldBackChunk).
  ChunkDeflater deflater = minbar_deflater(threads);
  HeldBackChunk index_tail = append_deflated_holding_back(
      index, {&INDEX_DTYPE, fetched.index.data(), fetched.index.size()}, deflater);
  HeldBackChunk data_tail = append_deflated_holding_back(
      data, {fetched.layout, fetched.data.data(), fetched.rows}, deflater);
  index_tail.write();
  data_tail.write();
  return fetched.rows;
}

StoredCounts extend(h5::File& file, const MinbarSource& source, unsigned threads,
                    std::optional<FetchedAhead> ahead) {
  h5::Dataset index = open_for_write(file, "index");
  h5::Dataset data = open_for_write(file, "data");
  // As read ahead, the file needs no repair and the plan made then stands; otherwise it is made
  // consistent and planned now, under the lock.
  TailPlan plan;
  if (ahead && ahead->still_matches(index, data)) {
    plan = std::move(ahead->plan);
  } else {
    const IndexEntry latest = make_consistent(index, data);
    plan = plan_tail(index, data, latest, source);
  }
  StoredCounts stored(apply(index, data, plan, threads));
  stored.revised_days = std::move(plan.revised_days);
  return stored;
}

// The file's last day, read without the write lock, and the plan for it, fetched before the
// write session begins, so that the file is locked only while it is written and readers that open
// it meanwhile are not turned away. Nothing when the file needs more than an append (no `index`,
// a tail to repair, `index` and `data` ending on different days) or cannot be read so: the write
// session then reads and fetches under its lock.
std::optional<FetchedAhead> fetch_ahead(const std::string& h5_file, const MinbarSource& source) {
  try {
    h5::File file = h5::File::open(h5_file, h5::Mode::kReadOnly);
    const MinbarEnd end = read_minbar_end(file);
    if (end.state != MinbarEnd::State::kSound) return std::nullopt;
    const h5::Dataset index = h5::Dataset::open(file, "index");
    const h5::Dataset data = h5::Dataset::open(file, "data");
    return FetchedAhead{.last_entry = end.last_entry,
                        .index_length = end.index_length,
                        .data_length = end.data_length,
                        .plan = plan_tail(index, data, end.last_entry, source)};
  } catch (const OSError&) {
    return std::nullopt;
  }
}

}  // namespace

MinbarEnd read_minbar_end(const std::string& h5_file) {
  return read_minbar_end(h5::File::open(h5_file, h5::Mode::kReadOnly));
}

MinbarEnd read_minbar_end(const h5::File& file) {
  if (!file.has("index")) return {};
  // A file with `index` but no `data` is no sound file either; its update finds out under the lock.
  if (!file.has("data")) return {.state = MinbarEnd::State::kToRepair};
  const h5::Dataset index = h5::Dataset::open(file, "index");
  const h5::Dataset data = h5::Dataset::open(file, "data");
  MinbarEnd end{.state = MinbarEnd::State::kToRepair,
                .index_length = index.length(),
                .data_length = data.length()};
  if (unsound_tail(index, data)) return end;
  const IndexEntry last = last_index_entry(index);
  if (last.date != last_data_date(data)) return end;
  end.state = MinbarEnd::State::kSound;
  end.last_entry = last;
  return end;
}

void create_minbar_file(const std::filesystem::path& h5_file, const MinbarRecords& records,
                        const WriteOptions& options) {
  ChunkDeflater deflater = minbar_deflater(options.deflate_threads);
  publish_file(h5_file, recorder_of(options), [&](const std::string& temp) {
    h5::File file = h5::File::open(temp, h5::Mode::kCreate);
    create_minbar_datasets(file, records, deflater);
    file.close();
  });
}

StoredCounts update_minbar_file(const std::string& h5_file, const MinbarSource& source,
                                const WriteOptions& options) {
  require_regular_file(h5_file);
  std::optional<FetchedAhead> ahead = fetch_ahead(h5_file, source);
  // Nothing to add or revise: the file is not opened for writing, so its bytes and its
  // modification time stay as they were (copies and backups of the bundle see no change).
  if (ahead && !ahead->plan.writes(ahead->index_length)) return {};
  h5::File file = open_for_update(h5_file, options);
  if (!file.has("index")) {
    // Opened under the journal all the same: a commit cut short is rolled back first, and the file
    // is only then known to lack its `index`.
    file.abandon();
    return rebuild_by_replacing(h5_file, source, options);
  }
  StoredCounts stored = extend(file, source, options.deflate_threads, std::move(ahead));
  file.close();
  return stored;
}

}  // namespace tessera_plus::bundle
