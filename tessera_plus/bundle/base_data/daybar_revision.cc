#include "tessera_plus/bundle/base_data/daybar_revision.h"

#include <algorithm>
#include <cstring>
#include <optional>

#include <fmt/format.h>
#include <fmt/ranges.h>

#include "tessera_plus/base/logger.h"
#include "tessera_plus/base/run_report.h"
#include "tessera_plus/market/bar_time.h"

namespace tessera_plus::bundle {
namespace {

int day_of(const EquityBar& bar) {
  return static_cast<int>(tallow::date_of_datetime(bar.datetime));
}

std::size_t first_after(const std::vector<EquityBar>& bars, int date) {
  return static_cast<std::size_t>(
      std::find_if(bars.begin(), bars.end(),
                   [date](const EquityBar& b) { return day_of(b) > date; }) -
      bars.begin());
}

bool same_bar(const EquityBar& a, const EquityBar& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

}  // namespace

DaybarRevision revise_daybars(const h5::Dataset& ds, h5::Size stored_from,
                              const std::vector<EquityBar>& bars) {
  const h5::Size rows = ds.length();
  if (stored_from >= rows) return {.keep_rows = rows, .append_from = 0};
  std::vector<EquityBar> stored(rows - stored_from);
  ds.read(EQUITIES_DTYPE, stored_from, stored.size(), stored.data());
  const DaybarRevision unrevised{.keep_rows = rows,
                                 .append_from = first_after(bars, day_of(stored.back()))};
  std::size_t j = first_after(bars, day_of(stored.front()) - 1);
  std::optional<DaybarRevision> cut;
  std::vector<int> revised;
  for (std::size_t i = 0; i < stored.size(); ++i) {
    const int day = day_of(stored[i]);
    for (; j < bars.size() && day_of(bars[j]) < day; ++j) {
      revised.push_back(day_of(bars[j]));  // a day the dataset lacks
      if (!cut) cut = DaybarRevision{.keep_rows = stored_from + i, .append_from = j};
    }
    if (j == bars.size() || day_of(bars[j]) != day) {
      if (cut) return unrevised;  // a cut would drop a day the service no longer answers for
      continue;
    }
    if (!same_bar(stored[i], bars[j])) {
      revised.push_back(day);
      if (!cut) cut = DaybarRevision{.keep_rows = stored_from + i, .append_from = j};
    }
    ++j;
  }
  if (!cut) return unrevised;
  cut->revised_days = std::move(revised);
  return *cut;
}

void log_revised(std::string_view what, const std::vector<int>& days) {
  system_log::info(
      fmt::format("修订 {} 的 {} 个交易日：{}", what, days.size(), fmt::join(days, ", ")));
  record_revised(days.size());
}

}  // namespace tessera_plus::bundle
