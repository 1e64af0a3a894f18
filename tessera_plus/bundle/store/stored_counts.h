// What one writer stored in one file: the records it added and the stored days it found revised
// at the service and wrote again, so that a run can say which days changed under the user.
#pragma once

#include <cstdint>
#include <vector>

namespace tessera_plus::bundle {

// Stored trading days an update fetches again with the new ones, by default: the last one, which
// a run inside the day's last half hour, or a service late with its last bars, leaves short.
inline constexpr int kDefaultRecheckDays = 1;
// The most a run may ask for: about two years of trading days.
inline constexpr int kMaxRecheckDays = 500;

struct StoredCounts {
  StoredCounts() = default;
  // Most writers only add records; they answer with the count alone.
  StoredCounts(std::uint64_t added) : rows(added) {}  // NOLINT(google-explicit-constructor)

  std::uint64_t rows = 0;
  // YYYYMMDD, ascending: stored days whose records differed from the service's and were replaced.
  std::vector<int> revised_days{};
};

}  // namespace tessera_plus::bundle
