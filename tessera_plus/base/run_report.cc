#include "tessera_plus/base/run_report.h"

#include <algorithm>
#include <atomic>
#include <cstring>

#include "tessera_plus/base/shared_memory.h"

namespace tessera_plus {
namespace {

// Fixed-size slots: the region is mapped once, before any fork, and never grows.
constexpr std::size_t kWhatBytes = 200;
constexpr std::size_t kReasonBytes = 400;

template <std::size_t N>
void copy_text(char (&slot)[N], std::string_view text) {
  std::string cut = one_line(text, N - 1);
  std::memcpy(slot, cut.data(), cut.size());
  slot[cut.size()] = '\0';
}

std::optional<RunReport>& published() {
  static std::optional<RunReport> report;
  return report;
}

}  // namespace

struct RunReport::Region {
  std::atomic<std::uint64_t> updated{0}, unchanged{0}, retries{0}, rows{0}, revised_days{0};
  std::atomic<std::int64_t> bytes{0};
  SharedMutex lock;
  std::uint64_t failed = 0;
  struct Slot {
    char what[kWhatBytes];
    char reason[kReasonBytes];
  } shown[kShownFailures];
};

RunReport RunReport::create() { return RunReport(make_shared_mapped<Region>()); }

void RunReport::count_written(bool changed, std::uint64_t rows, std::int64_t bytes) {
  ++(changed ? region_->updated : region_->unchanged);
  region_->rows += rows;
  region_->bytes += bytes;
}

void RunReport::count_retry() { ++region_->retries; }

void RunReport::count_revised(std::uint64_t days) { region_->revised_days += days; }

void RunReport::add_failure(std::string_view what, std::string_view reason) {
  region_->lock.lock();
  if (region_->failed < kShownFailures) {
    Region::Slot& slot = region_->shown[region_->failed];
    copy_text(slot.what, what);
    copy_text(slot.reason, reason);
  }
  ++region_->failed;
  region_->lock.unlock();
}

RunTotals RunReport::totals() const {
  RunTotals t{.updated = region_->updated,
              .unchanged = region_->unchanged,
              .retries = region_->retries,
              .failures = {}};
  t.rows = region_->rows;
  t.bytes = region_->bytes;
  t.revised_days = region_->revised_days;
  region_->lock.lock();
  t.failed = region_->failed;
  for (std::size_t i = 0; i < std::min<std::uint64_t>(t.failed, kShownFailures); ++i) {
    t.failures.push_back({region_->shown[i].what, region_->shown[i].reason});
  }
  region_->lock.unlock();
  return t;
}

std::uint64_t RunReport::failed() const {
  region_->lock.lock();
  const std::uint64_t failed = region_->failed;
  region_->lock.unlock();
  return failed;
}

void publish_run_report(std::optional<RunReport> report) { published() = std::move(report); }

RunReport published_run_report() {
  if (!published()) published() = RunReport::create();
  return *published();
}

RunTotals run_totals() { return published() ? published()->totals() : RunTotals{}; }

void record_written(bool changed, std::uint64_t rows, std::int64_t bytes) {
  if (published()) published()->count_written(changed, rows, bytes);
}

void record_failure(std::string_view what, std::string_view reason) {
  if (published()) published()->add_failure(what, reason);
}

void record_retry() {
  if (published()) published()->count_retry();
}

void record_revised(std::uint64_t days) {
  if (published()) published()->count_revised(days);
}

std::string one_line(std::string_view text, std::size_t max_bytes) {
  text = text.substr(0, text.find('\n'));
  if (text.size() <= max_bytes) return std::string(text);
  std::size_t end = max_bytes;
  // Back up over UTF-8 continuation bytes (10xxxxxx) to the start of the cut character.
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  return std::string(text.substr(0, end));
}

}  // namespace tessera_plus
