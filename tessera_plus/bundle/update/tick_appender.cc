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

#include "tessera_plus/base/console.h"
#include "tessera_plus/base/datetime_func.h"
#include "tessera_plus/base/errors.h"
#include "tessera_plus/base/instrument_type.h"
#include "tessera_plus/base/warnings.h"
#include "tessera_plus/bundle/store/bundle_layout.h"
#include "tessera_plus/bundle/store/tick_records.h"
#include "tessera_plus/bundle/store/tick_writer.h"
#include "tessera_plus/bundle/update/file_action.h"
#include "tessera_plus/bundle/update/held_files.h"
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
DateArg start_date_of(const std::optional<std::string>& latest, int min_start_date) {
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
  console_say(fmt::format("{} {}", format_dashed(first), format_dashed(last)));
}

// The ticks of `batch`, after its console line.
std::optional<PriceTable> fetch_batch(const std::string& order_book_id,
                                      std::span<const Date> batch) {
  print_batch(batch.front(), batch.back());
  return tallow::get_price(order_book_id, PriceArgs{.start_date = batch.front(),
                                                    .end_date = batch.back(),
                                                    .frequency = "tick",
                                                    .adjust_type = "none",
                                                    .expect_df = true});
}

// The days of a fetched batch, split before anything is written into those the file lacks and
// those it holds already (which the first half, once stored, would otherwise join).
struct BatchDays {
  std::vector<TickDayRows> fresh;
  std::vector<TickDayRows> stored_before;
};

BatchDays days_of(const h5::File& file, const std::optional<PriceTable>& ticks) {
  BatchDays days;
  if (!ticks || ticks->empty()) return days;
  for (TickDayRows& day : group_tick_rows(*ticks)) {
    (file.has(format_compact(day.trading_date)) ? days.stored_before : days.fresh)
        .push_back(std::move(day));
  }
  return days;
}

// Stores `days` of `ticks` into `stored`: a day the file holds already counts only when it was
// written again (revised), and then among the revised days.
void store_days(h5::File& file, const PriceTable& ticks, const std::vector<TickDayRows>& days,
                StoredCounts& stored) {
  std::vector<std::byte> records, scratch;
  for (const TickDayRows& day : days) {
    build_tick_records(ticks, day.rows, records);
    const std::string name = format_compact(day.trading_date);
    const bool held = file.has(name);
    if (!replace_tick_day(file, name, records, scratch)) continue;
    stored.rows += day.rows.size();
    if (held) stored.revised_days.push_back(date_to_number(day.trading_date));
  }
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

tallow::SuspensionTable suspension_of(const std::string& order_book_id, const DateArg& start_date,
                                      const DateArg& end_date) {
  SuppressWarnings quiet;
  return tallow::is_suspended(order_book_id, start_date, end_date);
}

// The dataset names of the days `suspension` says the stock was suspended.
std::vector<std::string> suspended_day_names(const std::string& order_book_id,
                                             const tallow::SuspensionTable& suspension) {
  const std::vector<bool>& suspended = suspension.column(order_book_id);
  if (suspended.size() != suspension.dates.size()) {
    throw ValueError(fmt::format("the suspension table has {} values for {} dates",
                                 suspended.size(), suspension.dates.size()));
  }
  std::vector<std::string> names;
  for (std::size_t i = 0; i < suspended.size(); ++i) {
    if (suspended[i]) names.push_back(format_compact(suspension.dates[i]));
  }
  return names;
}

void mark_suspended_days(h5::File& file, const std::string& order_book_id,
                         const tallow::SuspensionTable& suspension) {
  for (const std::string& name : suspended_day_names(order_book_id, suspension)) {
    mark_suspended_day(file, name);
  }
}

// What an update of one tick file asks the service, asked before the file is opened for writing
// as far as one batch goes, so that the file is locked only while it is written.
// The stored days an update starts from: the newest (which says whether the file changed since it
// was read) and the one `recheck_days` back, from which the service is asked again.
struct StoredTickDays {
  std::optional<std::string> latest;
  std::optional<std::string> start;

  static StoredTickDays of(const h5::File& file, int recheck_days) {
    return {latest_tick_day(file), nth_latest_tick_day(file, recheck_days)};
  }
  bool operator==(const StoredTickDays&) const = default;
};

struct TickPlan {
  // The stored days the plan starts from; a write session that finds others plans again.
  StoredTickDays stored;
  int end_date = 0;
  std::vector<Date> dates;  // empty: nothing to fetch
  std::optional<PriceTable> first_batch;
  // When the first batch is the only one: whether markers are wanted, and the suspensions.
  std::optional<bool> stock;
  std::optional<tallow::SuspensionTable> suspension;
};

// Markers are asked for over the whole history, not from the newest stored day: a run whose
// is_suspended call failed after its ticks were stored leaves that day the newest, and the
// markers of the days before it would otherwise never be written. Existing markers are kept,
// so this only fills the gaps an interrupted run left.
void ask_markers(TickPlan& plan, const std::string& order_book_id, int min_start_date) {
  plan.stock = is_stock(order_book_id);
  if (*plan.stock) {
    plan.suspension =
        suspension_of(order_book_id, std::int64_t{min_start_date}, std::int64_t{plan.end_date});
  }
}

// The newest stored day is always asked for again (a day stored while it was still trading is
// completed so); `recheck_days` reaches further back.
TickPlan plan_ticks(const StoredTickDays& stored, const std::string& order_book_id,
                    int min_start_date) {
  TickPlan plan;
  plan.stored = stored;
  const DateArg start_date = start_date_of(stored.start, min_start_date);
  plan.end_date = _get_end_date();
  if (plan.end_date < date_number_of(start_date)) return plan;
  std::optional<PriceTable> daily =
      tallow::get_price(order_book_id, PriceArgs{.start_date = start_date,
                                                 .end_date = std::int64_t{plan.end_date},
                                                 .expect_df = true});
  if (!daily || daily->empty()) return plan;
  plan.dates = trading_dates_of(*daily);
  const std::size_t count = std::min<std::size_t>(TICK_DATE_CHUNK_SIZE, plan.dates.size());
  plan.first_batch = fetch_batch(order_book_id, std::span(plan.dates).first(count));
  if (count == plan.dates.size()) ask_markers(plan, order_book_id, min_start_date);
  return plan;
}

// Writes what `plan` fetched, and the batches after its first, each fetched while the file is
// closed and made durable before the next is fetched, so that a failure costs one batch. Within a
// session the days the file lacks come first, then the markers, then the days it holds already
// (replace_tick_day), so that nothing is allocated after old space is freed. Returns the ticks
// stored and the stored days written again.
StoredCounts write_ticks(TickFileUpdate& update, const std::string& order_book_id,
                         int min_start_date, TickPlan& plan) {
  StoredCounts stored;
  for (std::size_t first = 0; first < plan.dates.size(); first += TICK_DATE_CHUNK_SIZE) {
    if (first > 0) update.commit();
    const std::size_t count =
        std::min<std::size_t>(TICK_DATE_CHUNK_SIZE, plan.dates.size() - first);
    const std::optional<PriceTable> ticks =
        first == 0 ? std::move(plan.first_batch)
                   : fetch_batch(order_book_id, std::span(plan.dates).subspan(first, count));
    const bool last = first + count == plan.dates.size();
    if (last && !plan.stock) ask_markers(plan, order_book_id, min_start_date);
    const BatchDays days = days_of(update.file(), ticks);
    if (!days.fresh.empty()) store_days(update.file(), *ticks, days.fresh, stored);
    if (last && plan.suspension)
      mark_suspended_days(update.file(), order_book_id, *plan.suspension);
    if (!days.stored_before.empty()) store_days(update.file(), *ticks, days.stored_before, stored);
  }
  return stored;
}

// The stored days of an existing file, read without the write lock; none for a file that does
// not exist, and nothing at all when it cannot be read so (the write session then plans under its
// lock).
std::optional<StoredTickDays> stored_days_ahead(const std::string& file_path, int recheck_days) {
  if (!std::filesystem::exists(file_path)) return StoredTickDays{};
  try {
    const h5::File file = h5::File::open(file_path, h5::Mode::kReadOnly);
    return StoredTickDays::of(file, recheck_days);
  } catch (const OSError&) {
    return std::nullopt;
  }
}

// Whether writing what `plan` fetched would change the file, judged without the write lock; only
// for a plan whose one batch is fetched already. A file that would stay as it is is not opened for
// writing, so its bytes and modification time stay too. When in doubt (it cannot be read), yes.
bool plan_changes_file(const std::string& file_path, const std::string& order_book_id,
                       const TickPlan& plan) {
  if (plan.dates.empty()) return false;
  if (plan.dates.size() > TICK_DATE_CHUNK_SIZE || !plan.stock) return true;
  try {
    h5::File file = h5::File::open(file_path, h5::Mode::kReadOnly);
    const BatchDays days = days_of(file, plan.first_batch);
    if (!days.fresh.empty()) return true;
    if (plan.suspension) {
      for (const std::string& name : suspended_day_names(order_book_id, *plan.suspension)) {
        if (!file.has(name)) return true;
      }
    }
    std::vector<std::byte> records;
    for (const TickDayRows& day : days.stored_before) {
      build_tick_records(*plan.first_batch, day.rows, records);
      if (!holds_tick_day(file, format_compact(day.trading_date), records)) return true;
    }
    return false;
  } catch (const OSError&) {
    return true;
  } catch (const KeyError&) {
    return true;
  }
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
  // A file that is not there, or one to rebuild, is built under a temporary name by
  // update_tick_file itself; a rebuild starts from nothing, whatever the old file holds.
  const bool replace =
      file_start(std::filesystem::exists(file_path), request.rebuild) == FileStart::kReplace;
  const std::string& id = request.order_book_id;
  return guard_file_update(
      file_path, before,
      [&]() -> StoredCounts {
        std::optional<TickPlan> plan;
        if (const auto ahead = replace ? std::make_optional(StoredTickDays{})
                                       : stored_days_ahead(file_path, request.recheck_days)) {
          plan = plan_ticks(*ahead, id, request.min_start_date);
          if (!replace && ahead->latest && !plan_changes_file(file_path, id, *plan)) return {};
        }
        StoredCounts stored;
        update_tick_file(
            file_path,
            [&](TickFileUpdate& update) {
              const StoredTickDays now = StoredTickDays::of(update.file(), request.recheck_days);
              if (!plan || plan->stored != now) {
                // The file changed since it was read (or could not be read then): plan again.
                plan = plan_ticks(now, id, request.min_start_date);
              }
              stored = write_ticks(update, id, request.min_start_date, *plan);
            },
            WriteOptions{.lock_deadline = announcing_wait(file_path, request.lock_deadline),
                         .commit_group = request.commit_group},
            replace);
        return stored;
      },
      request.held_comes_back, request.commit_group);
}

}  // namespace tessera_plus::bundle
