#include "cli/reports.h"

#include <algorithm>
#include <iterator>
#include <vector>

#include <fmt/format.h>
#include <fmt/ranges.h>
#include <nlohmann/json.hpp>

#include "tessera_plus/bundle/store/bundle_layout.h"

namespace tessera_plus::cli {
namespace {

// Members keep the order they are added in, the order the schemas list them.
using Json = nlohmann::ordered_json;

// The document on one line. Paths and reasons come from file names and from errors of other
// libraries, so they may hold bytes that are not UTF-8: those become U+FFFD rather than an
// exception in the middle of a report. Other text is written as UTF-8, not as \u escapes.
std::string document(const Json& json) {
  return json.dump(-1, ' ', false, Json::error_handler_t::replace) + '\n';
}

Json files_json(const std::vector<std::string>& paths, const std::vector<std::string>& reasons) {
  Json files = Json::array();
  for (std::size_t i = 0; i < paths.size(); ++i) {
    files.push_back({{"path", paths[i]},
                     {"order_book_id", bundle::order_book_id_of_file(paths[i])},
                     {"reason", i < reasons.size() ? reasons[i] : std::string()}});
  }
  return files;
}

Json optional_date(const std::optional<std::int64_t>& date) {
  return date ? Json(*date) : Json(nullptr);
}

std::string date_text(const std::optional<std::int64_t>& date) {
  return date ? std::to_string(*date) : "-";
}

// 1.5 GiB, 20.0 MiB, 512 B.
std::string size_text(std::uint64_t bytes) {
  constexpr const char* kUnits[] = {"B", "KiB", "MiB", "GiB", "TiB"};
  double size = static_cast<double>(bytes);
  std::size_t unit = 0;
  while (size >= 1024 && unit + 1 < std::size(kUnits)) {
    size /= 1024;
    ++unit;
  }
  return unit == 0 ? fmt::format("{} B", bytes) : fmt::format("{:.1f} {}", size, kUnits[unit]);
}

}  // namespace

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

std::string render_check_report(const CheckReport& r) {
  Json json = {
      {"kind", r.kind}, {"data_bundle_path", r.data_bundle_path}, {"checked", r.findings.checked}};
  if (!r.findings.checked) json["message"] = one_line(r.message, 400);
  json["files"] = r.findings.files;
  json["broken"] = files_json(r.findings.broken, r.findings.broken_reasons);
  json["locked"] = files_json(r.findings.locked, r.findings.locked_reasons);
  json["deleted"] = r.deleted;
  json["duration_seconds"] = r.seconds;
  json["exit_status"] = r.exit_status;
  return document(json);
}

std::string render_update_report(const UpdateReport& r) {
  Json failures = Json::array();
  for (const RunFailure& f : r.totals.failures) {
    failures.push_back({{"what", f.what}, {"reason", f.reason}});
  }
  const Json json = {{"command", r.command},
                     {"data_bundle_path", r.data_bundle_path},
                     {"updated", r.totals.updated},
                     {"unchanged", r.totals.unchanged},
                     {"failed", r.totals.failed},
                     {"failures", std::move(failures)},
                     // Only the first failures are kept with their reasons; the rest are counted.
                     {"failures_not_listed", r.totals.failed - r.totals.failures.size()},
                     {"retries", r.totals.retries},
                     {"revised_days", r.totals.revised_days},
                     {"rows_written", r.totals.rows},
                     {"bytes_added", r.totals.bytes},
                     {"error", r.error ? Json(*r.error) : Json(nullptr)},
                     {"duration_seconds", r.seconds},
                     {"exit_status", r.exit_status}};
  return document(json);
}

std::string render_update_plan(const bundle::UpdatePlan& plan) {
  using bundle::FileAction;
  const auto date = [](int d) { return d == 0 ? Json(nullptr) : Json(d); };
  Json files = Json::array();
  for (const bundle::PlannedFile& f : plan.files) {
    files.push_back({{"order_book_id", f.order_book_id},
                     {"path", f.path},
                     {"kind", f.tick ? "tick" : "minbar"},
                     {"action", bundle::action_name(f.action)},
                     {"first_date", date(f.first_date)},
                     {"last_date", date(f.last_date)},
                     {"estimated_rows", f.estimated_rows},
                     {"note", f.note}});
  }
  const Json json = {{"command", plan.command},
                     {"data_bundle_path", plan.data_bundle_path},
                     {"dry_run", true},
                     {"end_date", plan.end_date},
                     {"base_data",
                      {{"refreshed", plan.base.refreshed},
                       {"created", plan.base.created},
                       {"files", plan.base.files}}},
                     {"files", std::move(files)},
                     {"totals",
                      {{"create", plan.count(FileAction::kCreate)},
                       {"extend", plan.count(FileAction::kExtend)},
                       {"repair", plan.count(FileAction::kRepair)},
                       {"rebuild", plan.count(FileAction::kRebuild)},
                       {"up_to_date", plan.count(FileAction::kUpToDate)},
                       {"fail", plan.count(FileAction::kFail)},
                       {"estimated_rows", plan.estimated_rows()}}}};
  return document(json);
}

std::string render_status_report(const bundle::BundleStatus& status) {
  Json classes = Json::array();
  for (const bundle::ClassStatus& c : status.classes) {
    Json questioned = Json::array();
    for (const bundle::QuestionedFile& q : c.questioned) {
      questioned.push_back({{"path", q.path}, {"reason", q.reason}});
    }
    Json short_days = Json::array();
    for (const bundle::FileShortDays& f : c.short_days) {
      Json days = Json::array();
      for (const bundle::ShortDay& d : f.days) days.push_back({{"date", d.date}, {"bars", d.bars}});
      short_days.push_back({{"path", f.path}, {"days", std::move(days)}});
    }
    classes.push_back({{"name", c.name},
                       {"dir", c.dir},
                       {"present", c.present},
                       {"files", c.files},
                       {"bytes", c.bytes},
                       {"first_date", optional_date(c.first_date)},
                       {"last_date", optional_date(c.last_date)},
                       {"behind", c.behind},
                       {"behind_files", c.behind_files},
                       {"with_gaps", c.with_gaps},
                       {"questioned", std::move(questioned)},
                       {"short_days", std::move(short_days)}});
  }
  Json unfinished = Json::array();
  for (const bundle::UnfinishedFile& f : status.unfinished) {
    unfinished.push_back({{"path", f.path}, {"recovered", f.recovered}, {"reason", f.reason}});
  }
  const Json json = {{"data_bundle_path", status.root},
                     {"has_calendar", status.has_calendar},
                     {"last_trading_day", optional_date(status.last_trading_day)},
                     {"calendar_last_date", optional_date(status.calendar_last_date)},
                     {"classes", std::move(classes)},
                     {"unfinished", std::move(unfinished)}};
  return document(json);
}

// Each file with short days, on one line: the first few days with their bar counts, then how many
// more.
std::string short_days_text(const std::vector<bundle::FileShortDays>& files) {
  constexpr std::size_t kShownDays = 5;
  std::string text;
  for (const bundle::FileShortDays& f : files) {
    std::vector<std::string> shown;
    for (std::size_t i = 0; i < std::min(kShownDays, f.days.size()); ++i) {
      shown.push_back(fmt::format("{}（{} 根）", f.days[i].date, f.days[i].bars));
    }
    const std::string more =
        f.days.size() > kShownDays ? fmt::format(" 等 {} 个交易日", f.days.size()) : std::string();
    text += fmt::format("  {}：分钟线不足 {} 根的交易日 {}{}\n", f.path, bundle::kEquityBarsPerDay,
                        fmt::join(shown, ", "), more);
  }
  return text;
}

std::string render_status_text(const bundle::BundleStatus& status) {
  std::string text;
  if (!status.has_calendar) {
    text += "当前目录下不存在 trading_dates.npy 文件，未与交易日历比较。\n";
  } else {
    text += fmt::format("最近交易日：{}\n", date_text(status.last_trading_day));
  }
  std::optional<std::int64_t> newest;
  for (const bundle::ClassStatus& c : status.classes) {
    if (c.last_date) newest = std::max(newest.value_or(*c.last_date), *c.last_date);
  }
  if (status.calendar_last_date && newest && *newest > *status.calendar_last_date) {
    text += fmt::format(
        "交易日历只到 {}，早于文件中最新的 {}：基础数据未随之更新（如 update --no-base 之后），"
        "请运行 smart-update 或不带 --no-base 的 update\n",
        *status.calendar_last_date, *newest);
  }
  for (const bundle::ClassStatus& c : status.classes) {
    if (!c.present) {
      text += fmt::format("{}：目录不存在\n", c.name);
      continue;
    }
    text += fmt::format(
        "{}：{} 个文件，{}，日期 {} 至 {}，{} 个落后于最近交易日，{} 个有缺失交易日，{} 个可疑\n",
        c.name, c.files, size_text(c.bytes), date_text(c.first_date), date_text(c.last_date),
        c.behind, c.with_gaps, c.questioned.size());
    for (const bundle::QuestionedFile& q : c.questioned) {
      text += fmt::format("  {}：{}\n", q.path, q.reason);
    }
    if (!c.behind_files.empty()) {
      text += fmt::format("  落后的文件：{}", fmt::join(c.behind_files, "，"));
      if (c.behind > c.behind_files.size()) {
        text += fmt::format("，另有 {} 个", c.behind - c.behind_files.size());
      }
      text += "\n";
    }
    text += short_days_text(c.short_days);
  }
  if (!status.unfinished.empty()) {
    text += fmt::format("被中断的更新留下的文件：{} 个\n", status.unfinished.size());
    for (const bundle::UnfinishedFile& f : status.unfinished) {
      text += fmt::format("  {}\n", bundle::unfinished_file_line(f));
    }
  }
  return text;
}

}  // namespace tessera_plus::cli
