#include "tessera_plus/bundle/status/bundle_status.h"

#include <algorithm>
#include <filesystem>
#include <map>
#include <span>

#include <fmt/format.h>

#include "tessera_plus/base/errors.h"
#include "tessera_plus/base/run_report.h"
#include "tessera_plus/bundle/base_data/instrument_list.h"
#include "tessera_plus/bundle/base_data/npy_reader.h"
#include "tessera_plus/bundle/store/bundle_layout.h"
#include "tessera_plus/bundle/store/dates.h"
#include "tessera_plus/h5/dataset.h"
#include "tessera_plus/h5/file.h"

namespace tessera_plus::bundle {
namespace {

namespace fs = std::filesystem;
using Calendar = std::span<const std::int64_t>;

constexpr std::size_t kReasonBytes = 400;

struct Entry {
  std::string path;
  std::uint64_t bytes;
};

// The instrument files of `dir` as the checks see them, sorted by name, with their sizes.
std::vector<Entry> list_files(const fs::path& dir) {
  std::vector<Entry> files;
  for (std::string& path : list_instrument_files(dir.string())) {
    std::error_code ec;
    const std::uintmax_t bytes = fs::file_size(path, ec);
    files.push_back({std::move(path), bytes});
  }
  std::sort(files.begin(), files.end(),
            [](const Entry& a, const Entry& b) { return a.path < b.path; });
  return files;
}

// What a file's dates (index dates or tick days, as stored) say: a reason to question it, or
// empty. Counts the file as behind (its last date before `due`) or with gaps and widens the
// class's date range.
std::string judge_dates(const std::vector<std::int64_t>& dates, Calendar calendar,
                        std::optional<std::int64_t> due, ClassStatus& status) {
  if (dates.empty()) return {};
  const auto [low, high] = std::minmax_element(dates.begin(), dates.end());
  status.first_date = std::min(status.first_date.value_or(*low), *low);
  status.last_date = std::max(status.last_date.value_or(*high), *high);
  if (due && *high < *due) ++status.behind;
  for (std::size_t i = 1; i < dates.size(); ++i) {
    if (dates[i] <= dates[i - 1]) {
      return fmt::format("index not ascending: {} follows {}", dates[i], dates[i - 1]);
    }
  }
  if (calendar.empty()) return {};
  for (std::int64_t date : dates) {
    // Past the calendar's end the calendar is stale, not the file (the status says so once).
    if (date > calendar.back()) break;
    if (!std::binary_search(calendar.begin(), calendar.end(), date)) {
      return fmt::format("date {} is not a trading day", date);
    }
  }
  const auto first = std::lower_bound(calendar.begin(), calendar.end(), dates.front());
  const auto last = std::upper_bound(calendar.begin(), calendar.end(), dates.back());
  const auto known = std::upper_bound(dates.begin(), dates.end(), calendar.back()) - dates.begin();
  if (static_cast<std::size_t>(last - first) > static_cast<std::size_t>(known)) ++status.with_gaps;
  return {};
}

// The days of an equity file with fewer bars than a whole day, from `index`'s line numbers and the
// length of `data` (its metadata, not its bars). Nothing when the numbers do not ascend: the
// check questions such a file on its own terms.
void note_short_days(const h5::File& file, const h5::Dataset& index,
                     const std::vector<std::int64_t>& dates, const std::string& path,
                     ClassStatus& status) {
  if (!index.has_field("line_no") || !file.has("data")) return;
  const std::vector<std::int64_t> lines =
      index.read_field<std::int64_t>(h5::Field{"line_no", h5::Kind::kInt64, 0}, 0, dates.size());
  const auto rows = static_cast<std::int64_t>(h5::Dataset::open(file, "data").length());
  FileShortDays found{.path = path, .days = {}};
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const std::int64_t end = i + 1 < lines.size() ? lines[i + 1] : rows;
    if (end < lines[i]) return;
    const auto bars = static_cast<std::uint64_t>(end - lines[i]);
    if (bars < kEquityBarsPerDay) found.days.push_back({dates[i], bars});
  }
  if (!found.days.empty()) status.short_days.push_back(std::move(found));
}

std::string survey_minbar_file(const std::string& path, Calendar calendar,
                               std::optional<std::int64_t> last_trading_day, ClassStatus& status) {
  const h5::File file = h5::File::open(path, h5::Mode::kReadOnly);
  if (!file.has("index")) return file.has("data") ? "has 'data' but no 'index'" : "";
  const h5::Dataset index = h5::Dataset::open(file, "index");
  if (!index.has_field("date")) return "'index' has no field 'date'";
  const std::vector<std::int64_t> dates = index.read_field<std::int64_t>(
      h5::Field{"date", h5::Kind::kInt64, 0}, 0, index.readable_length());
  if (dates.empty()) return "empty index";
  std::string reason = judge_dates(dates, calendar, last_trading_day, status);
  if (reason.empty() && status.name == "equities") {
    note_short_days(file, index, dates, path, status);
  }
  return reason;
}

std::string survey_tick_file(const std::string& path, Calendar calendar,
                             std::optional<std::int64_t> last_trading_day, ClassStatus& status) {
  const h5::File file = h5::File::open(path, h5::Mode::kReadOnly);
  std::vector<std::string> names = file.member_names();
  std::sort(names.begin(), names.end());
  const int today = today_number();
  std::vector<std::int64_t> days;
  std::string stray;
  for (const std::string& name : names) {
    if (is_tick_day_name(name, today)) {
      days.push_back(std::stoll(name));
    } else if (stray.empty()) {
      stray = fmt::format("member '{}' is not a date up to today", name);
    }
  }
  std::string reason = judge_dates(days, calendar, last_trading_day, status);
  return reason.empty() ? stray : reason;
}

// The de-listing date (YYYYMMDD) of each instrument the bundle's list says has gone; empty when
// the list is missing or cannot be read, so that nothing is left out of "behind" on a guess.
using Delistings = std::map<std::string, std::int64_t>;

Delistings read_delistings(const fs::path& bundle) {
  Delistings gone;
  try {
    for (const tallow::Instrument& i :
         read_instrument_list(instrument_list_file(bundle).string())) {
      if (i.de_listed_date != "0000-00-00" && !i.de_listed_date.empty()) {
        gone[i.order_book_id] = dashed_date_number(i.de_listed_date);
      }
    }
  } catch (const std::exception&) {
    gone.clear();
  }
  return gone;
}

// The date a file is due to reach: the latest trading day, or, for a contract de-listed before
// it, the last trading day up to its de-listing date, which is as far as an update fetches it.
std::optional<std::int64_t> due_date(const std::string& path, Calendar calendar,
                                     std::optional<std::int64_t> last_trading_day,
                                     const Delistings& gone) {
  if (!last_trading_day) return last_trading_day;
  const auto found = gone.find(order_book_id_of_file(fs::path(path).filename().string()));
  if (found == gone.end() || found->second > *last_trading_day) return last_trading_day;
  const auto after = std::upper_bound(calendar.begin(), calendar.end(), found->second);
  if (after == calendar.begin()) return std::nullopt;
  return *(after - 1);
}

template <typename Survey>
ClassStatus survey_class(std::string name, const fs::path& dir, Calendar calendar,
                         std::optional<std::int64_t> last_trading_day, const Delistings& gone,
                         Survey survey) {
  ClassStatus status{.name = std::move(name), .dir = dir.string()};
  std::error_code ec;
  status.present = fs::is_directory(dir, ec);
  // Named, never surveyed: opening a FIFO would block, and a loop cannot be opened at all.
  for (OddEntry& odd : odd_instrument_entries(dir.string())) {
    status.questioned.push_back({std::move(odd.path), std::move(odd.reason)});
  }
  for (const Entry& entry : list_files(dir)) {
    ++status.files;
    status.bytes += entry.bytes;
    std::string reason;
    const std::size_t behind_before = status.behind;
    try {
      reason = survey(entry.path, calendar, due_date(entry.path, calendar, last_trading_day, gone),
                      status);
    } catch (const Error& e) {
      // Locked, denied, not HDF5, damaged: the file is questioned with what went wrong.
      reason = e.what();
    }
    if (!reason.empty()) {
      status.questioned.push_back({entry.path, one_line(reason, kReasonBytes)});
    }
    if (status.behind > behind_before && status.behind_files.size() < kNamedBehind) {
      status.behind_files.push_back(entry.path);
    }
  }
  return status;
}

}  // namespace

BundleStatus bundle_status(const std::string& data_bundle_path) {
  const fs::path base = bundle_dir(data_bundle_path);
  BundleStatus result{.root = data_bundle_path};
  result.unfinished = recover_unfinished_files(base);
  std::vector<std::int64_t> calendar;
  std::error_code ec;
  if (fs::exists(trading_calendar_file(base), ec)) {
    calendar = read_trading_calendar(trading_calendar_file(base));
    result.has_calendar = true;
    const auto after_today = std::upper_bound(calendar.begin(), calendar.end(), today_number());
    if (after_today != calendar.begin()) result.last_trading_day = *(after_today - 1);
    if (!calendar.empty()) result.calendar_last_date = calendar.back();
  }
  const Delistings gone = read_delistings(base);
  for (std::string_view name : MINBAR_CLASS_DIRS) {
    result.classes.push_back(survey_class(std::string(name), class_dir(minbar_dir(base), name),
                                          calendar, result.last_trading_day, gone,
                                          survey_minbar_file));
  }
  result.classes.push_back(survey_class("ticks", tick_dir(base), calendar, result.last_trading_day,
                                        gone, survey_tick_file));
  return result;
}

}  // namespace tessera_plus::bundle
