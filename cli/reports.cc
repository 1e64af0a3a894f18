#include "cli/reports.h"

#include <iterator>

#include <fmt/format.h>

#include "tessera_plus/base/json_writer.h"
#include "tessera_plus/bundle/store/bundle_layout.h"

namespace tessera_plus::cli {
namespace {

void write_files(JsonWriter& w, const std::vector<std::string>& paths,
                 const std::vector<std::string>& reasons) {
  w.begin_array();
  for (std::size_t i = 0; i < paths.size(); ++i) {
    w.begin_object().key("path").value(paths[i]);
    w.key("order_book_id").value(bundle::order_book_id_of_file(paths[i]));
    w.key("reason").value(i < reasons.size() ? reasons[i] : std::string()).end_object();
  }
  w.end_array();
}

void optional_date(JsonWriter& w, const std::optional<std::int64_t>& date) {
  if (date) {
    w.value(*date);
  } else {
    w.null();
  }
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
  JsonWriter w;
  w.begin_object().key("kind").value(r.kind).key("data_bundle_path").value(r.data_bundle_path);
  w.key("checked").value(r.findings.checked);
  if (!r.findings.checked) w.key("message").value(tessera::one_line(r.message, 400));
  w.key("files").value(std::uint64_t{r.findings.files});
  w.key("broken");
  write_files(w, r.findings.broken, r.findings.broken_reasons);
  w.key("locked");
  write_files(w, r.findings.locked, r.findings.locked_reasons);
  w.key("deleted").value(std::uint64_t{r.deleted});
  w.key("duration_seconds").value(r.seconds);
  w.key("exit_status").value(r.exit_status);
  return w.end_object().text();
}

std::string render_update_report(const UpdateReport& r) {
  JsonWriter w;
  w.begin_object().key("command").value(r.command);
  w.key("data_bundle_path").value(r.data_bundle_path);
  w.key("updated").value(r.totals.updated).key("unchanged").value(r.totals.unchanged);
  w.key("failed").value(r.totals.failed);
  w.key("failures").begin_array();
  for (const tessera::RunFailure& f : r.totals.failures) {
    w.begin_object().key("what").value(f.what).key("reason").value(f.reason).end_object();
  }
  w.end_array();
  // Only the first failures are kept with their reasons; the rest are counted.
  w.key("failures_not_listed").value(r.totals.failed - r.totals.failures.size());
  w.key("retries").value(r.totals.retries);
  w.key("rows_written").value(r.totals.rows).key("bytes_added").value(r.totals.bytes);
  w.key("error");
  if (r.error) {
    w.value(*r.error);
  } else {
    w.null();
  }
  w.key("duration_seconds").value(r.seconds);
  w.key("exit_status").value(r.exit_status);
  return w.end_object().text();
}

std::string render_status_report(const bundle::BundleStatus& status) {
  JsonWriter w;
  w.begin_object().key("data_bundle_path").value(status.root);
  w.key("has_calendar").value(status.has_calendar);
  w.key("last_trading_day");
  optional_date(w, status.last_trading_day);
  w.key("classes").begin_array();
  for (const bundle::ClassStatus& c : status.classes) {
    w.begin_object().key("name").value(c.name).key("dir").value(c.dir);
    w.key("present").value(c.present).key("files").value(std::uint64_t{c.files});
    w.key("bytes").value(c.bytes).key("first_date");
    optional_date(w, c.first_date);
    w.key("last_date");
    optional_date(w, c.last_date);
    w.key("behind").value(std::uint64_t{c.behind});
    w.key("with_gaps").value(std::uint64_t{c.with_gaps});
    w.key("questioned").begin_array();
    for (const bundle::QuestionedFile& q : c.questioned) {
      w.begin_object().key("path").value(q.path).key("reason").value(q.reason).end_object();
    }
    w.end_array().end_object();
  }
  return w.end_array().end_object().text();
}

std::string render_status_text(const bundle::BundleStatus& status) {
  std::string text;
  if (!status.has_calendar) {
    text += "当前目录下不存在 trading_dates.npy 文件，未与交易日历比较。\n";
  } else {
    text += fmt::format("最近交易日：{}\n", date_text(status.last_trading_day));
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
  }
  return text;
}

}  // namespace tessera_plus::cli
