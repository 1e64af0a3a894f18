#include "tessera_plus/bundle/store/tick_appender.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <span>
#include <system_error>
#include <vector>

#include <fmt/format.h>

#include "tessera_plus/bundle/store/building_file.h"
#include "tessera_plus/bundle/store/tick_records.h"
#include "tessera_plus/base/errors.h"
#include "tessera_plus/h5/dataset.h"
#include "tessera_plus/h5/file.h"
#include "tessera_plus/market/client.h"
#include "tessera_plus/base/datetime_func.h"
#include "tessera_plus/base/instrument_type.h"
#include "tessera_plus/base/logger.h"
#include "tessera_plus/h5/mode.h"
#include "tessera_plus/base/settings.h"
#include "tessera_plus/base/shared_flag.h"
#include "tessera_plus/bundle/store/ticks_loader.h"
#include "tessera_plus/base/warnings.h"

namespace tessera_plus::bundle {
namespace {

using tallow::DateArg;
using tallow::PriceArgs;
using tallow::PriceTable;
using tessera::Date;
using tessera::H5TicksLoader;

// The Blosc filter only works on chunked datasets. A chunk of up to 8192 records (about 2 MB)
// holds a whole stock day (some 4800 ticks at one every 3 seconds), so a day is compressed and
// read back in one piece with a single chunk-index entry; busier contracts get a few chunks of
// that size rather than one huge buffer. A short day gets a chunk of exactly its length, so no
// chunk is padded.
constexpr h5::Size kTickChunkRecords = 8192;

std::string tick_file_name(const std::string& order_book_id,
                           const std::optional<std::string>& file_name) {
  return file_name && !file_name->empty() ? *file_name : order_book_id + ".h5";
}

// The greatest dataset name (names are "%Y%m%d", so text order is date order), kept as text so
// that the service is asked with exactly what the file holds; `min_start_date` for an empty file.
DateArg start_date_of(const h5::File& file, int min_start_date) {
  std::vector<std::string> names = file.member_names();
  if (names.empty()) return std::int64_t{min_start_date};
  return *std::max_element(names.begin(), names.end());
}

int date_number_of(const DateArg& start_date) {
  if (const auto* name = std::get_if<std::string>(&start_date)) {
    return tessera::date_to_number(tessera::date_from_text(*name));
  }
  return static_cast<int>(std::get<std::int64_t>(start_date));
}

// The distinct dates of the daily table's second key level, ascending.
std::vector<Date> trading_dates_of(const PriceTable& daily) {
  std::vector<Date> dates;
  dates.reserve(daily.rows());
  for (const tessera::DateTime& t : daily.timestamps) dates.push_back(tessera::date_of(t));
  std::sort(dates.begin(), dates.end());
  dates.erase(std::unique(dates.begin(), dates.end()), dates.end());
  return dates;
}

void print_batch(Date first, Date last) {
  fmt::print(stdout, "{} {}\n", tessera::format_dashed(first), tessera::format_dashed(last));
  std::fflush(stdout);
}

// A day is always written whole: an existing dataset of that date is dropped and created anew.
// The dropped dataset's space goes back to the file's free-space tracking and is reused.
void replace_day(h5::File& file, const std::string& name, const std::vector<std::byte>& records) {
  const std::size_t count = records.size() / H5TicksLoader::DTYPES.size;
  if (file.has(name)) file.remove(name);
  h5::Creation how = COMPRESSION_KWARGS;
  how.chunk = std::min<h5::Size>(count, kTickChunkRecords);
  h5::Dataset::create(file, name, H5TicksLoader::DTYPES, records.data(), count, how);
}

void write_batch(h5::File& file, const std::string& order_book_id, std::span<const Date> batch) {
  print_batch(batch.front(), batch.back());
  std::optional<PriceTable> ticks =
      tallow::get_price(order_book_id, PriceArgs{.start_date = batch.front(),
                                                 .end_date = batch.back(),
                                                 .frequency = "tick",
                                                 .adjust_type = "none",
                                                 .expect_df = true});
  if (!ticks || ticks->empty()) return;
  for (const TickDayRows& day : group_tick_rows(*ticks)) {
    replace_day(file, tessera::format_compact(day.trading_date),
                build_tick_records(*ticks, day.rows));
  }
}

// The service may answer with one record or a list; the list's record of this id decides. An
// instrument the service does not know is not a stock as far as markers go.
bool is_stock(const std::string& order_book_id) {
  tallow::InstrumentAnswer answer = tallow::instruments(order_book_id);
  if (const auto* one = std::get_if<tallow::Instrument>(&answer)) {
    return one->type == tessera::INSTRUMENT_TYPE::CS;
  }
  if (const auto* many = std::get_if<std::vector<tallow::Instrument>>(&answer)) {
    for (const tallow::Instrument& instrument : *many) {
      if (instrument.order_book_id == order_book_id) {
        return instrument.type == tessera::INSTRUMENT_TYPE::CS;
      }
    }
  }
  return false;
}

// An empty dataset marks a day the stock was suspended, so that checkers do not take the missing
// ticks for a gap. Markers carry no data, hence no filter and no chunking.
void mark_suspended_days(h5::File& file, const std::string& order_book_id,
                         const DateArg& start_date, const DateArg& end_date) {
  tallow::SuspensionTable suspension = [&] {
    tessera::SuppressWarnings quiet;
    return tallow::is_suspended(order_book_id, start_date, end_date);
  }();
  const std::vector<bool>& suspended = suspension.column(order_book_id);
  if (suspended.size() != suspension.dates.size()) {
    throw ValueError(fmt::format("the suspension table has {} values for {} dates",
                                 suspended.size(), suspension.dates.size()));
  }
  for (std::size_t i = 0; i < suspended.size(); ++i) {
    std::string name = tessera::format_compact(suspension.dates[i]);
    if (suspended[i] && !file.has(name)) {
      h5::Dataset::create(file, name, H5TicksLoader::DTYPES, nullptr, 0, h5::Creation{});
    }
  }
}

void update_tick_file(h5::File& file, const std::string& order_book_id, int min_start_date) {
  const DateArg start_date = start_date_of(file, min_start_date);
  const int end_date = _get_end_date();
  if (end_date < date_number_of(start_date)) return;
  std::optional<PriceTable> daily = tallow::get_price(
      order_book_id,
      PriceArgs{.start_date = start_date, .end_date = std::int64_t{end_date}, .expect_df = true});
  if (!daily || daily->empty()) return;
  const std::vector<Date> dates = trading_dates_of(*daily);
  for (std::size_t first = 0; first < dates.size(); first += TICK_DATE_CHUNK_SIZE) {
    const std::size_t count = std::min<std::size_t>(TICK_DATE_CHUNK_SIZE, dates.size() - first);
    write_batch(file, order_book_id, std::span(dates).subspan(first, count));
  }
  if (is_stock(order_book_id)) {
    mark_suspended_days(file, order_book_id, start_date, std::int64_t{end_date});
  }
}

void report_failure(tessera::SharedFlag& sval, const std::string& message) {
  tessera::system_log::error(message);
  sval.set_value(false);
}

// Runs `body`; a failure is logged against `file_path` and clears the shared flag.
template <typename Body>
void guarded(const std::string& file_path, tessera::SharedFlag& sval, Body body) {
  try {
    body();
  } catch (const OSError& e) {
    report_failure(
        sval, "更新 " + file_path + " 失败，请检查文件的权限以及是否被其他进程占用\n" + e.what());
  } catch (const tallow::PermissionDenied&) {
    report_failure(sval, "更新 " + file_path +
                             " 失败，您没有相关数据的使用权限，可联系Larkspur开通相关权限：" +
                             tessera::support_phone());
  } catch (const std::exception& e) {
    report_failure(sval, "更新 " + file_path +
                             " 失败，该文件可能已经损坏，您可以尝试删除该文件并重新执行更新命令\n" +
                             e.what());
  }
}

}  // namespace

void _append_h5_tick(const std::string& order_book_id, const std::string& path,
                     const std::optional<std::string>& file_name, int min_start_date,
                     bool rebuild) {
  std::error_code ec;
  std::filesystem::create_directories(path, ec);
  if (ec) throw_os_error(ec.value(), "cannot create the tick directory " + path);
  const std::string name = tick_file_name(order_book_id, file_name);
  const std::string file_path = (std::filesystem::path(path) / name).string();
  if (rebuild) remove_h5(file_path);
  const h5::Mode mode = tessera::get_h5_mode(file_path);
  tessera::SharedFlag& sval = tessera::sval();
  // A new file is written under a building name and renamed into place once closed, also after a
  // caught failure (what was written stays), so that only a killed run leaves anything unfinished,
  // and then under a name the next run removes.
  const bool building = !std::filesystem::exists(file_path);
  if (building) remove_abandoned_builds(path, name);
  const std::string target = building ? building_name(path, name).string() : file_path;
  // The file is closed (its destructor runs) before any handler: a failure never leaves it open.
  guarded(file_path, sval, [&] {
    h5::File file = h5::File::open(target, building ? h5::Mode::kCreate : mode);
    update_tick_file(file, order_book_id, min_start_date);
    file.close();
  });
  if (building && std::filesystem::exists(target)) {
    guarded(file_path, sval, [&] {
      if (::rename(target.c_str(), file_path.c_str()) != 0) {
        throw_os_error(errno, "cannot move " + target + " to " + file_path);
      }
    });
  }
}

}  // namespace tessera_plus::bundle
