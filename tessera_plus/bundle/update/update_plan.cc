#include "tessera_plus/bundle/update/update_plan.h"

#include <algorithm>
#include <filesystem>
#include <optional>
#include <set>

#include <fmt/format.h>

#include "tessera_plus/base/datetime_func.h"
#include "tessera_plus/base/errors.h"
#include "tessera_plus/base/run_report.h"
#include "tessera_plus/bundle/base_data/base_updater.h"
#include "tessera_plus/bundle/base_data/daybar_store.h"
#include "tessera_plus/bundle/store/bundle_layout.h"
#include "tessera_plus/bundle/store/dates.h"
#include "tessera_plus/bundle/store/deleted_files.h"
#include "tessera_plus/bundle/store/minbar_writer.h"
#include "tessera_plus/bundle/store/tick_writer.h"
#include "tessera_plus/bundle/update/merge_tags.h"
#include "tessera_plus/bundle/update/minbar_appender.h"
#include "tessera_plus/bundle/update/smart_update.h"
#include "tessera_plus/h5/file.h"
#include "tessera_plus/market/client.h"

namespace tessera_plus::bundle {
namespace {

namespace fs = std::filesystem;

// Typical days, for the estimates: a stock's minutes, and a stock's 3-second snapshots over its
// four-hour session.
constexpr std::uint64_t kMinuteBarsPerDay = 240;
constexpr std::uint64_t kTicksPerDay = 4800;

// What every file's plan needs to know about the run.
struct PlanContext {
  fs::path root{};
  fs::path bundle{};
  int end_date = 0;
  int min_start_date = MIN_START_DATE;
  bool rebuild = false;
  std::set<std::string> deleted{};  // the check's record, relative to the bundle directory
};

std::string relative_path(const PlanContext& ctx, const fs::path& file) {
  return file.lexically_relative(ctx.root).string();
}

std::uint64_t trading_days(int first, int last, const std::string& market) {
  if (first == 0 || last < first) return 0;
  return tallow::get_trading_dates(std::int64_t{first}, std::int64_t{last}, market).size();
}

// The first listing date of `id` (YYYYMMDD), where a new file's data begins: the service has no
// bars before it. 0 when the listing does not say.
int listed_date_of(const std::string& id) {
  int listed = 0;
  try {
    // The answer outlives the loop: records_of() is a view into it.
    const tallow::InstrumentAnswer answer = tallow::instruments(id);
    for (const tallow::Instrument& record : tallow::records_of(answer)) {
      if (record.listed_date == "0000-00-00") continue;
      const int date = dashed_date_number(record.listed_date);
      if (listed == 0 || date < listed) listed = date;
    }
  } catch (const std::exception&) {
    return 0;  // the estimate only; the file's line says what fails
  }
  return listed;
}

// The estimate of a file's new rows: its trading days, times a typical day.
std::uint64_t estimate_rows(const PlannedFile& file, std::uint64_t per_day,
                            const std::string& market) {
  return per_day * trading_days(file.first_date, file.last_date, market);
}

// A file that is not there, or that is built anew to replace it: built from the first date. A
// missing file that a check deleted is a rebuild the record asked for.
void plan_new_file(const PlanContext& ctx, FileStart start, int last, PlannedFile& file) {
  const std::string in_bundle = fs::path(file.path).lexically_relative("bundle").string();
  file.action = FileAction::kCreate;
  if (start == FileStart::kReplace) {
    file.action = FileAction::kRebuild;
    file.note = "rebuild asked for";
  } else if (ctx.deleted.contains(in_bundle)) {
    file.action = FileAction::kRebuild;
    file.note = "deleted by a check";
  }
  // The writer asks from the earliest date, and the service answers from the listing on.
  file.first_date = std::max(ctx.min_start_date, listed_date_of(file.order_book_id));
  file.last_date = last;
}

// An existing minute-bar file updated where it stands; returns the rows of a typical day of it.
std::uint64_t plan_minbar_in_place(const PlanContext& ctx, const MinbarTarget& target, int last,
                                   PlannedFile& file) {
  MinbarEnd end;
  try {
    end = read_minbar_end(target.file);
  } catch (const OSError& e) {
    file.action = FileAction::kFail;
    file.note = "cannot be read: " + one_line(e.what(), 300);
    return 0;
  }
  const int next = end.state == MinbarEnd::State::kSound
                       ? date_to_number(tallow::get_next_trading_date(
                             std::int64_t{end.last_entry.date}, target.market))
                       : 0;
  file.action = minbar_in_place_action(end, next, last);
  switch (file.action) {
    case FileAction::kExtend:
      file.first_date = next;
      file.last_date = last;
      if (end.index_length > 0)
        return std::max<std::uint64_t>(1, end.data_length / end.index_length);
      break;
    case FileAction::kRebuild:
      file.first_date = std::max(ctx.min_start_date, listed_date_of(file.order_book_id));
      file.last_date = last;
      file.note = "no index";
      break;
    case FileAction::kRepair:
      file.last_date = last;
      file.note = "its last days cannot be right: cut back to the last sound day, then extended";
      break;
    default:
      break;
  }
  return kMinuteBarsPerDay;
}

std::optional<PlannedFile> plan_minbar(const PlanContext& ctx, const std::string& id) {
  PlannedFile file{.order_book_id = id};
  std::optional<MinbarTarget> target;
  try {
    target = minbar_target({.order_book_id = id, .path = minbar_dir(ctx.bundle).string()});
  } catch (const std::exception& e) {
    file.action = FileAction::kFail;
    file.note = one_line(e.what(), 300);
    return file;
  }
  if (!target) return std::nullopt;  // the writer leaves such an instrument alone
  file.path = relative_path(ctx, target->file);
  // As the writer fetches: up to the de-listing of an instrument gone before today.
  const int last = target->de_listed_date != 0 && target->de_listed_date < today_number()
                       ? target->de_listed_date
                       : ctx.end_date;
  const FileStart start = file_start(fs::exists(target->file), ctx.rebuild);
  std::uint64_t per_day = kMinuteBarsPerDay;
  if (start == FileStart::kInPlace) {
    per_day = plan_minbar_in_place(ctx, *target, last, file);
  } else {
    plan_new_file(ctx, start, last, file);
  }
  file.estimated_rows = estimate_rows(file, per_day, target->market);
  return file;
}

// An existing tick file: the writer asks again for its newest stored day and appends the trading
// days after it.
void plan_tick_in_place(const PlanContext& ctx, const fs::path& path, PlannedFile& file) {
  std::optional<std::string> latest;
  try {
    latest = latest_tick_day(h5::File::open(path.string(), h5::Mode::kReadOnly));
  } catch (const OSError& e) {
    file.action = FileAction::kFail;
    file.note = "cannot be read: " + one_line(e.what(), 300);
    return;
  }
  const int newest = latest ? std::stoi(*latest) : 0;
  std::vector<Date> days;
  if (newest < ctx.end_date) {
    days = tallow::get_trading_dates(std::int64_t{std::max(newest, ctx.min_start_date)},
                                     std::int64_t{ctx.end_date});
    std::erase_if(days, [newest](Date day) { return date_to_number(day) <= newest; });
  }
  if (days.empty()) {
    file.action = FileAction::kUpToDate;
    return;
  }
  file.action = FileAction::kExtend;
  // The writer asks again from its newest stored day, which it writes anew with the days after.
  file.first_date = newest > 0 ? newest : date_to_number(days.front());
  file.last_date = ctx.end_date;
  if (newest > 0) file.note = fmt::format("its newest day {} is fetched again", newest);
}

PlannedFile plan_tick(const PlanContext& ctx, const std::string& id) {
  PlannedFile file{.order_book_id = id, .tick = true};
  const fs::path path = instrument_file(tick_dir(ctx.bundle), id);
  file.path = relative_path(ctx, path);
  const FileStart start = file_start(fs::exists(path), ctx.rebuild);
  if (start == FileStart::kInPlace) {
    plan_tick_in_place(ctx, path, file);
  } else {
    plan_new_file(ctx, start, ctx.end_date, file);
  }
  file.estimated_rows = estimate_rows(file, kTicksPerDay, "cn");
  return file;
}

BaseDataPlan plan_base(const PlanContext& ctx) {
  BaseDataPlan base{.refreshed = true, .created = !fs::exists(ctx.bundle)};
  for (const fs::path& file : {trading_calendar_file(ctx.bundle), suspensions_file(ctx.bundle),
                               instrument_list_file(ctx.bundle)}) {
    base.files.push_back(relative_path(ctx, file));
  }
  for (const DaybarClass& cls : daybar_classes()) {
    base.files.push_back(relative_path(ctx, ctx.bundle / cls.file_name));
  }
  return base;
}

PlanContext context_of(const std::string& data_bundle_path) {
  PlanContext ctx{.root = fs::path(data_bundle_path).lexically_normal(),
                  .end_date = _get_end_date()};
  ctx.bundle = bundle_dir(ctx.root);
  if (fs::exists(deleted_files_record(ctx.bundle))) {
    for (const BundleFile& file : read_deleted_files(ctx.bundle)) ctx.deleted.insert(file.relative);
  }
  return ctx;
}

// The instruments of one pass, resolved as the parallel updater resolves them.
void plan_pass(const PlanContext& ctx, const std::set<std::string>& ids, bool tick,
               UpdatePlan& plan) {
  for (const std::string& id : ids) {
    if (tick) {
      plan.files.push_back(plan_tick(ctx, id));
    } else if (std::optional<PlannedFile> file = plan_minbar(ctx, id)) {
      plan.files.push_back(std::move(*file));
    }
  }
}

std::string range_text(const PlannedFile& file) {
  if (file.first_date == 0 && file.last_date == 0) return "";
  if (file.first_date == 0) return fmt::format("to {}", file.last_date);
  return fmt::format("{}..{}", file.first_date, file.last_date);
}

}  // namespace

std::size_t UpdatePlan::count(FileAction action) const {
  return static_cast<std::size_t>(std::count_if(
      files.begin(), files.end(), [action](const PlannedFile& f) { return f.action == action; }));
}

std::uint64_t UpdatePlan::estimated_rows() const {
  std::uint64_t rows = 0;
  for (const PlannedFile& f : files) rows += f.estimated_rows;
  return rows;
}

UpdatePlan plan_update(const UpdateRequest& request) {
  PlanContext ctx = context_of(request.data_bundle_path);
  ctx.rebuild = request.rebuild;
  UpdatePlan plan{
      .command = "update", .data_bundle_path = request.data_bundle_path, .end_date = ctx.end_date};
  if (request.base) plan.base = plan_base(ctx);
  if (!request.minbar.empty()) {
    plan_pass(ctx, _merge_tags(request.minbar, request.with_derivatives, request.enable_bjse),
              false, plan);
  }
  if (!request.tick.empty()) {
    plan_pass(ctx, _merge_tags(request.tick, request.with_derivatives, request.enable_bjse), true,
              plan);
  }
  return plan;
}

UpdatePlan plan_smart_update(const std::string& data_bundle_path) {
  const PlanContext ctx = context_of(data_bundle_path);
  // The real run refuses a bundle that is not there before anything else.
  require_bundle_directory(ctx.bundle.string());
  UpdatePlan plan{
      .command = "smart-update", .data_bundle_path = data_bundle_path, .end_date = ctx.end_date};
  plan.base = plan_base(ctx);
  for (bool tick : {false, true}) {
    const std::vector<std::string> ids = smart_update_ids(ctx.bundle, tick);
    if (!ids.empty()) plan_pass(ctx, _merge_tags(ids, false, false), tick, plan);
  }
  return plan;
}

void print_update_plan(const UpdatePlan& plan, std::ostream& out) {
  out << fmt::format("Dry run of {} for {}: nothing was written.\n", plan.command,
                     plan.data_bundle_path);
  out << fmt::format("Data would be fetched up to {}, the last complete trading date.\n",
                     plan.end_date);
  if (plan.base.refreshed) {
    out << fmt::format("Base data, refreshed first ({}):\n",
                       plan.base.created ? "a new bundle"
                                         : "the daily bars are extended, the "
                                           "calendar, suspensions and instrument "
                                           "list rewritten");
    for (const std::string& file : plan.base.files) {
      out << fmt::format("  {:<11} {}\n", plan.base.created ? "create" : "refresh", file);
    }
  }
  for (bool tick : {false, true}) {
    const auto n = std::count_if(plan.files.begin(), plan.files.end(),
                                 [tick](const PlannedFile& f) { return f.tick == tick; });
    if (n == 0) continue;
    out << fmt::format("{}: {} file{}\n", tick ? "Ticks" : "Minute bars", n, n == 1 ? "" : "s");
    for (const PlannedFile& f : plan.files) {
      if (f.tick != tick) continue;
      std::string line = fmt::format("  {:<11} {}", action_name(f.action),
                                     f.path.empty() ? f.order_book_id : f.path);
      if (const std::string range = range_text(f); !range.empty()) line += "  " + range;
      if (f.estimated_rows > 0) line += fmt::format("  ~{} rows", f.estimated_rows);
      if (!f.note.empty()) line += "  (" + f.note + ")";
      out << line << '\n';
    }
  }
  out << fmt::format(
      "Plan: {} to create, {} to extend, {} to repair, {} to rebuild, {} up to date, {} failing; "
      "about {} rows.\n",
      plan.count(FileAction::kCreate), plan.count(FileAction::kExtend),
      plan.count(FileAction::kRepair), plan.count(FileAction::kRebuild),
      plan.count(FileAction::kUpToDate), plan.count(FileAction::kFail), plan.estimated_rows());
  out.flush();
}

}  // namespace tessera_plus::bundle
