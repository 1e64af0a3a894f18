#include "tessera_plus/bundle/update/tick_appender.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <span>
#include <system_error>
#include <vector>

#include <fmt/format.h>

#include "tessera_plus/base/datetime_func.h"
#include "tessera_plus/base/errors.h"
#include "tessera_plus/base/instrument_type.h"
#include "tessera_plus/base/warnings.h"
#include "tessera_plus/bundle/store/bundle_layout.h"
#include "tessera_plus/bundle/store/tick_records.h"
#include "tessera_plus/bundle/store/tick_writer.h"
#include "tessera_plus/bundle/update/write_guard.h"
#include "tessera_plus/h5/file.h"
#include "tessera_plus/market/client.h"

namespace tessera_plus::bundle {
namespace {

using tallow::DateArg;
using tallow::PriceArgs;
using tallow::PriceTable;

std::string tick_file_name(const std::string& order_book_id,
                           const std::optional<std::string>& file_name) {
  if (file_name && !file_name->empty()) {
    require_safe_name("file_name", *file_name);
    return *file_name;
  }
  return instrument_file_name(order_book_id);
}

// The newest stored day, kept as text so that the service is asked with exactly what the file
// holds; `min_start_date` for an empty file.
DateArg start_date_of(const h5::File& file, int min_start_date) {
  std::optional<std::string> latest = latest_tick_day(file);
  if (!latest) return std::int64_t{min_start_date};
  return *latest;
}

int date_number_of(const DateArg& start_date) {
  if (const auto* name = std::get_if<std::string>(&start_date)) {
    return date_to_number(date_from_text(*name));
  }
  return static_cast<int>(std::get<std::int64_t>(start_date));
}

// The distinct dates of the daily table's second key level, ascending.
std::vector<Date> trading_dates_of(const PriceTable& daily) {
  std::vector<Date> dates;
  dates.reserve(daily.rows());
  for (const DateTime& t : daily.timestamps) dates.push_back(date_of(t));
  std::sort(dates.begin(), dates.end());
  dates.erase(std::unique(dates.begin(), dates.end()), dates.end());
  return dates;
}

void print_batch(Date first, Date last) {
  fmt::print(stdout, "{} {}\n", format_dashed(first), format_dashed(last));
  std::fflush(stdout);
}

// Returns the ticks stored.
std::size_t write_batch(h5::File& file, const std::string& order_book_id,
                        std::span<const Date> batch) {
  print_batch(batch.front(), batch.back());
  std::optional<PriceTable> ticks =
      tallow::get_price(order_book_id, PriceArgs{.start_date = batch.front(),
                                                 .end_date = batch.back(),
                                                 .frequency = "tick",
                                                 .adjust_type = "none",
                                                 .expect_df = true});
  if (!ticks || ticks->empty()) return 0;
  std::size_t stored = 0;
  std::vector<std::byte> records, scratch;
  for (const TickDayRows& day : group_tick_rows(*ticks)) {
    build_tick_records(*ticks, day.rows, records);
    replace_tick_day(file, format_compact(day.trading_date), records, scratch);
    stored += day.rows.size();
  }
  return stored;
}

// The service may answer with one record or a list; the list's record of this id decides. An
// instrument the service does not know is not a stock as far as markers go.
bool is_stock(const std::string& order_book_id) {
  const tallow::InstrumentAnswer answer = tallow::instruments(order_book_id);
  const std::span<const tallow::Instrument> records = tallow::records_of(answer);
  if (std::holds_alternative<tallow::Instrument>(answer)) {
    return records[0].type == INSTRUMENT_TYPE::CS;
  }
  for (const tallow::Instrument& instrument : records) {
    if (instrument.order_book_id == order_book_id) {
      return instrument.type == INSTRUMENT_TYPE::CS;
    }
  }
  return false;
}

void mark_suspended_days(h5::File& file, const std::string& order_book_id,
                         const DateArg& start_date, const DateArg& end_date) {
  tallow::SuspensionTable suspension = [&] {
    SuppressWarnings quiet;
    return tallow::is_suspended(order_book_id, start_date, end_date);
  }();
  const std::vector<bool>& suspended = suspension.column(order_book_id);
  if (suspended.size() != suspension.dates.size()) {
    throw ValueError(fmt::format("the suspension table has {} values for {} dates",
                                 suspended.size(), suspension.dates.size()));
  }
  for (std::size_t i = 0; i < suspended.size(); ++i) {
    std::string name = format_compact(suspension.dates[i]);
    if (suspended[i]) mark_suspended_day(file, name);
  }
}

// Returns the ticks stored.
std::size_t update_ticks(TickFileUpdate& update, const std::string& order_book_id,
                         int min_start_date) {
  const DateArg start_date = start_date_of(update.file(), min_start_date);
  const int end_date = _get_end_date();
  if (end_date < date_number_of(start_date)) return 0;
  std::optional<PriceTable> daily = tallow::get_price(
      order_book_id,
      PriceArgs{.start_date = start_date, .end_date = std::int64_t{end_date}, .expect_df = true});
  if (!daily || daily->empty()) return 0;
  const std::vector<Date> dates = trading_dates_of(*daily);
  std::size_t stored = 0;
  // Each batch is made durable before the next is fetched, so a failure costs one batch.
  for (std::size_t first = 0; first < dates.size(); first += TICK_DATE_CHUNK_SIZE) {
    if (first > 0) update.commit();
    const std::size_t count = std::min<std::size_t>(TICK_DATE_CHUNK_SIZE, dates.size() - first);
    stored += write_batch(update.file(), order_book_id, std::span(dates).subspan(first, count));
  }
  // Markers are asked for over the whole history, not from the newest stored day: a run whose
  // is_suspended call failed after its ticks were stored leaves that day the newest, and the
  // markers of the days before it would otherwise never be written. Existing markers are kept,
  // so this only fills the gaps an interrupted run left.
  if (is_stock(order_book_id)) {
    mark_suspended_days(update.file(), order_book_id, std::int64_t{min_start_date},
                        std::int64_t{end_date});
  }
  return stored;
}

}  // namespace

WriteResult _append_h5_tick(const WriteRequest& request) {
  const std::string& path = request.path;
  require_safe_name("order_book_id", request.order_book_id);
  std::error_code ec;
  std::filesystem::create_directories(path, ec);
  if (ec) throw_os_error(ec.value(), "cannot create the tick directory " + path);
  const std::string name = tick_file_name(request.order_book_id, request.file_name);
  const std::string file_path = (std::filesystem::path(path) / name).string();
  const FileState before = FileState::of(file_path);
  if (request.rebuild) remove_h5(file_path);
  return guard_file_update(file_path, before, [&]() -> std::uint64_t {
    std::size_t stored = 0;
    update_tick_file(file_path, [&](TickFileUpdate& update) {
      stored = update_ticks(update, request.order_book_id, request.min_start_date);
    });
    return stored;
  });
}

}  // namespace tessera_plus::bundle
