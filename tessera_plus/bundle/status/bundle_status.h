// `tessera-plus status`: what each class directory of a bundle holds, how far behind the calendar
// its files are, and which files a check would question, read cheaply: file sizes, the `index`
// dataset of each minute-bar file and the member names of each tick file, never the bars or
// ticks themselves.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tessera_plus/bundle/store/unfinished_files.h"

namespace tessera_plus::bundle {

struct QuestionedFile {
  std::string path;
  std::string reason;  // one line
};

// A stock's trading day that holds fewer minute bars than its session has. Suspended days hold
// none and are not listed in `index` at all, so a short day is one stored before the service had
// all its bars (or one the service delivered short): `update --recheck-days` reaching back to it
// fetches it again.
struct ShortDay {
  std::int64_t date = 0;
  std::uint64_t bars = 0;
};
struct FileShortDays {
  std::string path;
  std::vector<ShortDay> days;
};

// Minute bars of a whole A-share day: 09:31-11:30 and 13:01-15:00.
inline constexpr std::uint64_t kEquityBarsPerDay = 240;

struct ClassStatus {
  std::string name;  // "equities", "future", "option" (bundle/h5/<name>) or "ticks"
  std::string dir;
  bool present = false;  // whether the directory exists
  std::size_t files = 0;
  std::uint64_t bytes = 0;
  // The earliest and the latest date any file holds (YYYYMMDD).
  std::optional<std::int64_t> first_date{}, last_date{};
  // Files whose last date is before the latest trading day, and the first kNamedBehind of them by
  // name. A contract de-listed before that day is behind only when it ends before its last day.
  std::size_t behind = 0;
  std::vector<std::string> behind_files{};
  // Files with trading days missing between their first and last date: the check asks the
  // service about these (suspensions have no data), so they are counted, not questioned.
  std::size_t with_gaps = 0;
  // Files the check would call broken from what was read, or that could not be read.
  std::vector<QuestionedFile> questioned{};
  // Equities only: files with days shorter than kEquityBarsPerDay, read from `index` alone.
  std::vector<FileShortDays> short_days{};
};

inline constexpr std::size_t kNamedBehind = 10;

struct BundleStatus {
  std::string root;
  bool has_calendar = false;
  // The calendar's last date. When files hold later dates, the base data was not updated with
  // them (update --no-base): their dates past it are not judged.
  std::optional<std::int64_t> calendar_last_date{};
  // The calendar's latest trading day up to today on the exchanges' clock (TESSERA_NOW when set).
  std::optional<std::int64_t> last_trading_day{};
  std::vector<ClassStatus> classes{};
  // HDF5 files of the whole bundle that an interrupted update left unfinished, each recovered
  // before the survey when this user may write it.
  std::vector<UnfinishedFile> unfinished{};
};

// Surveys bundle/h5/{equities,future,option} and bundle/ticks under `data_bundle_path`, once every
// unfinished file of the bundle is recovered where it can be (recover_unfinished_files). Without
// bundle/trading_dates.npy nothing is judged against the calendar (no file is behind, no date is
// foreign). The de-listing dates of the instrument list (instruments.pk), when it can be read, keep
// expired contracts out of the files behind. A file that cannot be opened or read is questioned
// with the error's first line; a damaged calendar is an error, as it is for the checks.
BundleStatus bundle_status(const std::string& data_bundle_path);

}  // namespace tessera_plus::bundle
