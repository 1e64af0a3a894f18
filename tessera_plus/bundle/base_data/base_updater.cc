#include "tessera_plus/bundle/base_data/base_updater.h"

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>

#include <fmt/format.h>

#include "tessera_plus/base/errors.h"
#include "tessera_plus/base/interrupted.h"
#include "tessera_plus/base/logger.h"
#include "tessera_plus/base/process_pool.h"
#include "tessera_plus/base/publish.h"
#include "tessera_plus/base/run_report.h"
#include "tessera_plus/base/warnings.h"
#include "tessera_plus/base/write_failure.h"
#include "tessera_plus/bundle/base_data/daybar_store.h"
#include "tessera_plus/bundle/base_data/fetch_ahead.h"
#include "tessera_plus/bundle/base_data/instrument_list.h"
#include "tessera_plus/bundle/base_data/npy_writer.h"
#include "tessera_plus/bundle/client/client_setup.h"
#include "tessera_plus/bundle/store/bundle_layout.h"
#include "tessera_plus/bundle/store/constants.h"
#include "tessera_plus/h5/dataset.h"
#include "tessera_plus/h5/file.h"
#include "tessera_plus/h5/integer_dataset.h"
#include "tessera_plus/market/client.h"

namespace tessera_plus::bundle {
namespace {

namespace fs = std::filesystem;

std::vector<std::int64_t> suspended_days(const tallow::Instrument& ins, int end_date) {
  int start = std::max(bundle::MIN_START_DATE, dashed_date_number(ins.listed_date));
  if (start > end_date) return {};
  tallow::SuspensionTable table = [&] {
    SuppressWarnings quiet;
    return tallow::is_suspended(ins.order_book_id, std::int64_t{start}, std::int64_t{end_date});
  }();
  const std::vector<bool>& flags = table.column(ins.order_book_id);
  std::vector<std::int64_t> days;
  for (std::size_t i = 0; i < flags.size() && i < table.dates.size(); ++i) {
    if (flags[i]) days.push_back(date_to_number(table.dates[i]));
  }
  return days;
}

// A part of the base data that could not be brought up to date: logged and listed in the run's
// failures, which makes the base update's result false. The other parts go on.
void report_failed_part(const std::string& what, const std::string& reason) {
  system_log::error(fmt::format("更新 {} 失败，{}", what, reason));
  record_failure(what, reason);
}

void write_calendar(const fs::path& dir, int end_date) {
  std::vector<std::int64_t> numbers;
  for (const Date& d :
       tallow::get_trading_dates(std::int64_t{bundle::MIN_START_DATE}, std::int64_t{end_date})) {
    numbers.push_back(date_to_number(d));
  }
  write_file_if_changed(bundle::trading_calendar_file(dir), npy_bytes(numbers));
}

// The stored days of every stock in the current file, so that a stock the service cannot answer
// for this time keeps what it had.
std::optional<h5::File> previous_suspensions(const fs::path& file) {
  if (!fs::exists(file)) return std::nullopt;
  return h5::File::open(file.string(), h5::Mode::kReadOnly);
}

// The stock's suspended days as fetched; when the service could not say this time (or the call
// was lost), the failure is reported and the days the previous file held are kept.
std::vector<std::int64_t> days_or_previous(const std::string& target, const std::string& id,
                                           FetchedAnswer&& answer,
                                           const std::optional<h5::File>& previous) {
  std::string reason;
  try {
    return records_of_bytes<std::int64_t>(answer.take());
  } catch (const tallow::ServiceUnavailable& e) {
    reason = std::string("数据服务暂时不可用：") + e.what();
  } catch (const FetcherLost& e) {
    reason = e.what();
  }
  report_failed_part(target + " " + id, reason);
  if (previous && previous->has(id)) return h5::Dataset::open(*previous, id).read_integers();
  return {};
}

using SuspendedDays = std::map<std::string, std::vector<std::int64_t>>;

// Whether the previous file holds exactly `days`: then it is left as it is.
bool holds_suspensions(const std::optional<h5::File>& previous, const SuspendedDays& days) {
  if (!previous) return false;
  const std::vector<std::string> names = previous->member_names();
  if (names.size() != days.size()) return false;
  return std::all_of(days.begin(), days.end(), [&](const auto& stock) {
    return previous->has(stock.first) &&
           h5::Dataset::open(*previous, stock.first).read_integers() == stock.second;
  });
}

void write_suspensions(const fs::path& dir, const std::vector<tallow::Instrument>& instruments,
                       int end_date) {
  const fs::path target = bundle::suspensions_file(dir);
  std::vector<const tallow::Instrument*> stocks;
  for (const tallow::Instrument& ins : instruments) {
    if (ins.type == INSTRUMENT_TYPE::CS) stocks.push_back(&ins);
  }
  std::optional<h5::File> previous = previous_suspensions(target);
  SuspendedDays all;
  fetch_ahead(
      stocks.size(), [&](std::size_t i) { return bytes_of(suspended_days(*stocks[i], end_date)); },
      [&](std::size_t i, FetchedAnswer&& answer) {
        const std::string& id = stocks[i]->order_book_id;
        std::vector<std::int64_t> days =
            days_or_previous(target.string(), id, std::move(answer), previous);
        if (!days.empty()) all[id] = std::move(days);
      });
  if (holds_suspensions(previous, all)) return;
  previous.reset();
  publish_file(target.string(), [&](const std::string& temp) {
    h5::File file = h5::File::open(temp, h5::Mode::kCreate);
    for (const auto& [id, days] : all) h5::write_int64_dataset(file, id, days);
    file.close();
  });
}

void write_daybars(const fs::path& file, const DaybarClass& cls, int end_date, bool compression,
                   bool create, int recheck_days) {
  for (const InstrumentFailure& f :
       update_daybar_file(file.string(), cls, tallow::all_instruments(), end_date, compression,
                          create, {}, recheck_days)) {
    report_failed_part(file.string() + " " + f.order_book_id, f.reason);
  }
}

void init_worker_client(bool enable_bjse) { bundle::_init_tallow(enable_bjse); }

}  // namespace

void require_bundle_directory(const std::string& path) {
  if (!fs::is_directory(path)) {
    throw OSError(ENOENT, fmt::format("the bundle directory {} does not exist; run a full update "
                                      "with base data first",
                                      path));
  }
}

bool update_daybar(const std::string& path, bool create, bool enable_compression, int concurrency,
                   const TallowKwargs& tallow_kwargs, int recheck_days) {
  require_bundle_directory(path);
  throw_if_stopped();
  const int end_date = bundle::_get_end_date();
  const fs::path dir(path);
  remove_abandoned_builds(dir);
  // Parts that fail alone: the calendar, the suspensions, the instrument list and each class
  // of daily bars are tasks of their own, and within a part a failed instrument costs only
  // itself. The run report carries those instrument failures, which do not fail their task, to
  // the result, beside the tasks that failed.
  const RunReport report = published_run_report();
  const std::uint64_t failed_before = report.failed();
  ProgressedProcessPoolExecutor pool(
      concurrency, [enable_bjse = tallow_kwargs.enable_bjse] { init_worker_client(enable_bjse); });
  pool.set_progress_label("日线及基础数据文件");
  pool.submit(bundle::trading_calendar_file(dir).string(),
              [dir, end_date] { with_write_advice([&] { write_calendar(dir, end_date); }); });
  pool.submit(bundle::suspensions_file(dir).string(), [dir, end_date] {
    with_write_advice([&] { write_suspensions(dir, tallow::all_instruments(), end_date); });
  });
  pool.submit(bundle::instrument_list_file(dir).string(), [dir] {
    with_write_advice([&] {
      write_file_if_changed(bundle::instrument_list_file(dir),
                            instrument_list_bytes(tallow::all_instruments()));
    });
  });
  for (const DaybarClass& cls : daybar_classes()) {
    fs::path file = dir / cls.file_name;
    pool.submit(file.string(), [file, &cls, end_date, enable_compression, create, recheck_days] {
      with_write_advice(
          [&] { write_daybars(file, cls, end_date, enable_compression, create, recheck_days); });
    });
  }
  pool.close();
  throw_if_stopped();
  return report.failed() == failed_before;
}

}  // namespace tessera_plus::bundle
