#include "tessera_plus/bundle/check/minbar_checker.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <vector>

#include <fmt/format.h>

#include "tessera_plus/base/errors.h"
#include "tessera_plus/bundle/base_data/npy_reader.h"
#include "tessera_plus/bundle/check/bundle_scan.h"
#include "tessera_plus/bundle/check/check_result.h"
#include "tessera_plus/bundle/check/file_sorter.h"
#include "tessera_plus/bundle/check/service_probe.h"
#include "tessera_plus/bundle/client/client_setup.h"
#include "tessera_plus/bundle/store/bundle_layout.h"
#include "tessera_plus/h5/dataset.h"
#include "tessera_plus/h5/file.h"
#include "tessera_plus/market/bar_time.h"
#include "tessera_plus/market/client.h"

namespace tessera_plus::bundle {
namespace {

using check_detail::calendar_slice;
using Calendar = std::span<const std::int64_t>;

// The index as the checker reads it: both fields widened to 64 bits, whatever their stored width,
// so that a negative or oversized `line_no` is seen as such instead of wrapping.
struct IndexRow {
  std::int64_t date;
  std::int64_t line_no;
};
constexpr std::array<h5::Field, 2> kIndexRowFields = {h5::Field{"date", h5::Kind::kInt64, 0},
                                                      h5::Field{"line_no", h5::Kind::kInt64, 8}};
constexpr h5::RecordLayout kIndexRowLayout{sizeof(IndexRow), kIndexRowFields};
constexpr h5::Field kDatetimeField{"datetime", h5::Kind::kInt64, 0};

struct MinbarFile {
  std::vector<std::int64_t> index_dates;
  // For each index row, the `datetime` of the day's first bar (the row at its `line_no`).
  std::vector<std::int64_t> first_bar_datetimes;
};

std::vector<IndexRow> read_index(const h5::File& file) {
  h5::Dataset index = h5::Dataset::open(file, "index");
  for (const h5::Field& field : kIndexRowFields) {
    if (!index.has_field(field.name)) {
      throw KeyError(fmt::format("'index' of {} has no field '{}'", file.path(), field.name));
    }
  }
  std::vector<IndexRow> rows(index.readable_length());
  index.read(kIndexRowLayout, 0, rows.size(), rows.data());
  return rows;
}

// Reads `index` and the `datetime` column of `data` whole. Every `line_no` is checked against the
// row count of `data` before a single row of it is read.
MinbarFile read_minbar_file(const h5::File& file) {
  h5::Dataset data = h5::Dataset::open(file, "data");
  if (!data.has_field(kDatetimeField.name)) {
    throw KeyError(fmt::format("'data' of {} has no field 'datetime'", file.path()));
  }
  const std::vector<IndexRow> rows = read_index(file);
  const auto data_rows = static_cast<std::int64_t>(data.readable_length());
  for (const IndexRow& row : rows) {
    if (row.line_no < 0 || row.line_no >= data_rows) {
      throw ValueError(fmt::format("{}: index line_no {} of date {} is outside 'data' ({} rows)",
                                   file.path(), row.line_no, row.date, data_rows));
    }
  }
  const std::vector<std::int64_t> datetimes =
      data.read_field<std::int64_t>(kDatetimeField, 0, static_cast<h5::Size>(data_rows));
  MinbarFile result;
  result.index_dates.reserve(rows.size());
  result.first_bar_datetimes.reserve(rows.size());
  for (const IndexRow& row : rows) {
    result.index_dates.push_back(row.date);
    result.first_bar_datetimes.push_back(datetimes[static_cast<std::size_t>(row.line_no)]);
  }
  return result;
}

// The index row whose date its first bar contradicts, if any: its position in `index`.
using Mismatch = std::optional<std::size_t>;

// Stock-like instruments open at 09:30, and their first one-minute bar is stamped at its end.
Mismatch equity_days_mismatch(const MinbarFile& f) {
  for (std::size_t i = 0; i < f.index_dates.size(); ++i) {
    if (f.first_bar_datetimes[i] != tallow::first_equity_bar(f.index_dates[i])) return i;
  }
  return std::nullopt;
}

// Futures and options trade at night, and a night bar belongs to the next trading day.
Mismatch futures_days_mismatch(const MinbarFile& f, Calendar trading_dates) {
  for (std::size_t i = 0; i < f.index_dates.size(); ++i) {
    const std::int64_t day = tallow::futures_trading_day(f.first_bar_datetimes[i], trading_dates);
    if (day != f.index_dates[i]) return i;
  }
  return std::nullopt;
}

// Trading days between the first and the last index date (as stored, not re-sorted) that the
// index lacks, in calendar order.
std::vector<std::int64_t> missing_days(const std::vector<std::int64_t>& index_dates,
                                       Calendar trading_dates) {
  std::vector<std::int64_t> held = index_dates;
  std::sort(held.begin(), held.end());
  std::vector<std::int64_t> missing;
  for (std::int64_t day : calendar_slice(trading_dates, index_dates.front(), index_dates.back())) {
    if (!std::binary_search(held.begin(), held.end(), day)) missing.push_back(day);
  }
  return missing;
}

}  // namespace

check_detail::Finding check_detail::inspect_minbar_file(const std::string& path,
                                                        Calendar trading_dates) {
  h5::File file = h5::File::open(path, h5::Mode::kReadOnly);
  // A file with neither dataset is not a minute-bar file at all, so there is nothing to find.
  if (!file.has("index")) {
    if (file.has("data")) return {.kind = Finding::kBroken, .reason = "has 'data' but no 'index'"};
    return {Finding::kSound};
  }
  const MinbarFile f = read_minbar_file(file);
  const std::string folder = check_detail::folder_of(path);
  const bool futures_rule = is_derivatives_class_dir(folder);
  const Mismatch mismatch =
      futures_rule ? futures_days_mismatch(f, trading_dates) : equity_days_mismatch(f);
  if (mismatch) {
    return {.kind = Finding::kBroken,
            .reason = fmt::format("index date {} does not match its first bar {}",
                                  f.index_dates[*mismatch], f.first_bar_datetimes[*mismatch])};
  }
  if (f.index_dates.empty()) return {.kind = Finding::kBroken, .reason = "empty index"};
  const std::vector<std::int64_t> missing = missing_days(f.index_dates, trading_dates);
  if (missing.empty()) return {Finding::kSound};
  return {Finding::kGaps, {missing.begin(), missing.end()}};
}

namespace {

CheckFindings find_min_bar_problems(const std::string& data_bundle_path, std::ostream& out,
                                    int jobs) {
  const std::filesystem::path base_path = bundle_dir(data_bundle_path);
  const std::string calendar_path = trading_calendar_file(base_path).string();
  if (!check_detail::path_exists(calendar_path)) {
    out << "当前目录下不存在 trading_dates.npy 文件，请先下载 base 数据!\n";
    return {};
  }
  _init_tallow();
  const std::vector<std::string> min_file_path_list =
      list_minbar_files(minbar_dir(base_path).string());
  const std::vector<OddEntry> odd = odd_minbar_entries(minbar_dir(base_path).string());
  if (min_file_path_list.empty() && odd.empty()) {
    out << "当前目录下不存在分钟数据!\n";
    return {};
  }
  out << fmt::format("共有{}个分钟数据文件!\n", min_file_path_list.size()) << std::flush;
  const std::vector<std::int64_t> trading_dates = read_trading_calendar(calendar_path);
  CheckFindings findings{.checked = true};
  // A missing day is a gap only when the service has minute bars for it; suspensions have none.
  check_detail::sort_files(
      min_file_path_list, jobs,
      [&](const std::string& path) {
        return check_detail::inspect_minbar_file(path, trading_dates);
      },
      [](const std::string& path, const std::vector<tallow::DateArg>& missing) {
        return check_detail::first_day_with_data(order_book_id_of_file(path), missing, "1m");
      },
      findings);
  check_detail::add_odd_entries(odd, findings);
  return findings;
}

}  // namespace

CheckFindings check_min_bar_data(const CheckRequest& request) {
  check_detail::finish_interrupted_updates(request.data_bundle_path, *request.out);
  const CheckFindings findings =
      find_min_bar_problems(request.data_bundle_path, *request.out, request.jobs);
  handle_check_findings(findings, "分钟", request);
  return findings;
}

}  // namespace tessera_plus::bundle
