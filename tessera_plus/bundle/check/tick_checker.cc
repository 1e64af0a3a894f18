#include "tessera_plus/bundle/check/tick_checker.h"

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <span>
#include <vector>

#include <fmt/format.h>
#include <fmt/ranges.h>

#include "tessera_plus/base/errors.h"
#include "tessera_plus/base/logger.h"
#include "tessera_plus/bundle/base_data/npy_reader.h"
#include "tessera_plus/bundle/check/bundle_scan.h"
#include "tessera_plus/bundle/check/check_result.h"
#include "tessera_plus/bundle/check/file_sorter.h"
#include "tessera_plus/bundle/check/service_probe.h"
#include "tessera_plus/bundle/check/verified_cache.h"
#include "tessera_plus/bundle/client/client_setup.h"
#include "tessera_plus/bundle/store/bundle_layout.h"
#include "tessera_plus/bundle/store/dates.h"
#include "tessera_plus/h5/dataset.h"
#include "tessera_plus/h5/file.h"
#include "tessera_plus/market/client.h"

namespace tessera_plus::bundle {
namespace {

// Days are compared as their 8-digit text, in which text order and date order agree.
using Days = std::vector<std::string>;
// Order book id -> suspended days, sorted so that membership is a binary search.
using Suspensions = std::map<std::string, Days>;

// The first `count` characters of `text`, counting a UTF-8 sequence as one character.
std::string first_characters(const std::string& text, std::size_t count) {
  std::size_t pos = 0;
  for (std::size_t seen = 0; pos < text.size() && seen < count; ++seen) {
    ++pos;
    while (pos < text.size() && (static_cast<unsigned char>(text[pos]) & 0xC0) == 0x80) ++pos;
  }
  return text.substr(0, pos);
}

Days calendar_as_text(const std::vector<std::int64_t>& dates) {
  Days days;
  days.reserve(dates.size());
  for (std::int64_t date : dates) days.push_back(std::to_string(date));
  return days;
}

// Reads the suspended days of every instrument that has a tick file, in one pass over the
// suspension file, so that the loop over tick files touches nothing else.
Suspensions read_suspensions(const std::string& path, const std::vector<std::string>& tick_files) {
  h5::File file = h5::File::open(path, h5::Mode::kReadOnly);
  Suspensions suspendeds;
  for (const std::string& tick_file : tick_files) {
    const std::string order_book_id = order_book_id_of_file(tick_file);
    Days& days = suspendeds[order_book_id];
    if (!file.has(order_book_id)) continue;
    days = calendar_as_text(h5::Dataset::open(file, order_book_id).read_integers());
    std::sort(days.begin(), days.end());
  }
  file.close();
  return suspendeds;
}

bool contains(const Days& sorted, const std::string& day) {
  return std::binary_search(sorted.begin(), sorted.end(), day);
}

// Members that cannot be stored days (not a real date, or after today) stop the writer from
// extending the file; they are named in the log so the user can remove them. The check itself
// judges the file by its names as they are.
void report_stray_members(const std::string& path, const Days& names) {
  const int today = today_number();
  std::vector<std::string> stray;
  for (const std::string& name : names) {
    if (!is_tick_day_name(name, today)) stray.push_back(name);
  }
  if (stray.empty()) return;
  system_log::error(fmt::format("检查 {}: 成员 {} 不是今天及以前的日期，更新时被忽略", path,
                                fmt::join(stray, ", ")));
}

// A day whose ticks no reader can get (a chunk that does not decompress, a dataset HDF5 refuses)
// still counts as stored by its name, so no update would fetch it again: the file is broken, and
// deleting it lets the next update rebuild it. Every chunk is decoded, since damage anywhere in
// one loses the whole day to h5py. The day's name leads the reason: HDF5's own errors do not
// name the dataset.
std::optional<std::string> first_unreadable_day(const h5::File& file, const Days& names) {
  h5::DecodeScratch scratch;
  for (const std::string& name : names) {
    try {
      h5::Dataset::open(file, name).verify_rows(scratch);
    } catch (const BlockingIOError&) {
      throw;
    } catch (const PermissionError&) {
      throw;
    } catch (const OSError& e) {
      return fmt::format("unreadable trading day {}: {}", name, e.what());
    } catch (const KeyError& e) {  // a member that is a dangling link, not a dataset
      return fmt::format("unreadable trading day {}: {}", name, e.what());
    }
  }
  return std::nullopt;
}

// What the member names say against the calendar and the suspensions (`names` sorted).
check_detail::Finding judge_names(Days names, std::span<const std::string> trading_dates,
                                  const Days& suspended_dates) {
  using check_detail::Finding;
  // Cutting keeps the order: the prefixes of sorted names are sorted too.
  for (std::string& name : names) name = first_characters(name, 8);
  const std::span<const std::string> expected =
      check_detail::calendar_slice(trading_dates, names.front(), names.back());
  if (std::equal(expected.begin(), expected.end(), names.begin(), names.end())) {
    return {Finding::kSound};
  }
  Days missing_dates;
  for (const std::string& day : expected) {
    if (!contains(names, day)) missing_dates.push_back(day);
  }
  if (std::all_of(missing_dates.begin(), missing_dates.end(),
                  [&](const std::string& day) { return contains(suspended_dates, day); })) {
    return {Finding::kSound};
  }
  // Suspended days are asked about too: a file is broken when any of its gaps has ticks.
  return {Finding::kGaps, {missing_dates.begin(), missing_dates.end()}};
}

// Decodes every day unless the cache vouches for this very state of the file (`before`, taken
// before the file was opened). A clean decode of a file whose state stayed `before` throughout
// sets `note` to the entry that vouches for it next time; a file changed meanwhile is decoded
// again next time.
std::optional<std::string> verify_days(const h5::File& file, const std::string& path,
                                       const Days& names,
                                       const std::optional<check_detail::FileIdentity>& before,
                                       const check_detail::VerifiedCache* cache,
                                       std::string& note) {
  if (!cache || !cache->enabled() || !before) return first_unreadable_day(file, names);
  const check_detail::VerifiedFile entry{*before, check_detail::names_hash(names)};
  const std::string file_name = std::filesystem::path(path).filename().string();
  if (!cache->vouches_for(file_name, entry)) {
    if (std::optional<std::string> reason = first_unreadable_day(file, names)) return reason;
    if (check_detail::identity_of(path) != before) return std::nullopt;
  }
  note = check_detail::encode_entry(entry);
  return std::nullopt;
}

}  // namespace

check_detail::Finding check_detail::inspect_tick_file(const std::string& path,
                                                      std::span<const std::string> trading_dates,
                                                      const Days& suspended_dates, TickReads reads,
                                                      const VerifiedCache* cache) {
  const std::optional<FileIdentity> before = cache ? identity_of(path) : std::nullopt;
  h5::File file = h5::File::open(path, h5::Mode::kReadOnly);
  Days h5_trading_dates = file.member_names();
  if (h5_trading_dates.empty()) return {Finding::kSound};
  report_stray_members(path, h5_trading_dates);
  std::sort(h5_trading_dates.begin(), h5_trading_dates.end());
  std::string note;
  if (reads == TickReads::kEveryDay) {
    if (std::optional<std::string> reason =
            verify_days(file, path, h5_trading_dates, before, cache, note)) {
      return {Finding::kBroken, {}, std::move(*reason)};
    }
  }
  Finding finding = judge_names(std::move(h5_trading_dates), trading_dates, suspended_dates);
  finding.note = std::move(note);
  return finding;
}

namespace {

CheckFindings find_tick_problems(const std::string& data_bundle_path, std::ostream& out, int jobs,
                                 bool full) {
  const std::filesystem::path base_path = bundle_dir(data_bundle_path);
  const std::string calendar_path = trading_calendar_file(base_path).string();
  const std::string suspension_path = suspensions_file(base_path).string();
  if (!check_detail::path_exists(calendar_path)) {
    out << "当前目录下不存在 trading_dates.npy 文件，请先下载 base 数据!\n";
    return {};
  }
  if (!check_detail::path_exists(suspension_path)) {
    out << "当前目录下不存在 suspended_days.h5 文件，请先下载 base 数据!\n";
    return {};
  }
  _init_tallow();
  const std::vector<std::string> tick_file_path_list =
      list_instrument_files(tick_dir(base_path).string());
  const std::vector<OddEntry> odd = odd_instrument_entries(tick_dir(base_path).string());
  if (tick_file_path_list.empty() && odd.empty()) {
    out << "当前目录下不存在tick数据!\n";
    return {};
  }
  out << fmt::format("共有{}个tick数据文件!\n", tick_file_path_list.size()) << std::flush;
  const Days trading_dates = calendar_as_text(read_trading_calendar(calendar_path));
  const Suspensions suspendeds = read_suspensions(suspension_path, tick_file_path_list);
  CheckFindings findings{.checked = true};
  check_detail::VerifiedCache cache =
      check_detail::VerifiedCache::open(tick_dir(base_path).string(), !full);
  // A missing day is a gap only when the service has ticks for it; asked with the date as text.
  check_detail::sort_files(
      tick_file_path_list, jobs,
      [&](const std::string& path) {
        return check_detail::inspect_tick_file(path, trading_dates,
                                               suspendeds.at(order_book_id_of_file(path)),
                                               check_detail::TickReads::kEveryDay, &cache);
      },
      [](const std::string& path, const std::vector<tallow::DateArg>& missing) {
        return check_detail::first_day_with_data(order_book_id_of_file(path), missing, "tick");
      },
      findings,
      [&](const std::string& path, const std::string& note) {
        if (std::optional<check_detail::VerifiedFile> entry = check_detail::decode_entry(note)) {
          cache.keep(std::filesystem::path(path).filename().string(), *entry);
        }
      });
  cache.save();
  check_detail::add_odd_entries(odd, findings);
  return findings;
}

}  // namespace

CheckFindings check_tick_data(const CheckRequest& request) {
  check_detail::finish_interrupted_updates(request.data_bundle_path, *request.out);
  const CheckFindings findings =
      find_tick_problems(request.data_bundle_path, *request.out, request.jobs, request.full);
  handle_check_findings(findings, "tick", request);
  return findings;
}

}  // namespace tessera_plus::bundle
