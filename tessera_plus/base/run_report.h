// What one run of the program did, gathered from every worker process: instruments updated,
// unchanged and failed, the failures with a one-line reason each, and the service calls retried.
// It is the one record of an update's outcome across processes: the workers record what their
// writers did, the pool records the tasks that escaped or died, and the main process decides
// from the failures counted whether the update went through. The front end publishes one report
// before the first pool starts and reads it at the end; an update run without the front end
// publishes one itself (published_run_report).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tessera_plus {

struct RunFailure {
  std::string what;    // the instrument, file or part that failed
  std::string reason;  // one line
};

struct RunTotals {
  std::uint64_t updated = 0, unchanged = 0, failed = 0, retries = 0;
  // The first kShownFailures failures in the order they were recorded; `failed` counts them all.
  std::vector<RunFailure> failures;
  // Records stored by instruments whose update succeeded, and how much their files grew (bytes;
  // negative when a repair shrank them more than the update added).
  std::uint64_t rows = 0;
  std::int64_t bytes = 0;
  // Stored days, counted per instrument, that the service answered differently on a second look
  // and that were written again.
  std::uint64_t revised_days = 0;
};

class RunReport {
 public:
  static constexpr std::size_t kShownFailures = 20;

  // A new report in fresh shared memory: processes forked afterwards record into the same one.
  static RunReport create();

  // An instrument whose update succeeded: `changed` or not, with `rows` stored and `bytes` grown.
  void count_written(bool changed, std::uint64_t rows, std::int64_t bytes);
  void add_failure(std::string_view what, std::string_view reason);
  void count_retry();
  void count_revised(std::uint64_t days);
  RunTotals totals() const;
  // totals().failed without the copies of the failures.
  std::uint64_t failed() const;

 private:
  struct Region;
  explicit RunReport(std::shared_ptr<Region> region) : region_(std::move(region)) {}
  std::shared_ptr<Region> region_;
};

// Publishes `report` as this process's run report (and, through fork, its workers'); nullopt
// withdraws it.
void publish_run_report(std::optional<RunReport> report);
// The published report, after publishing a fresh one when there is none. Main process, before
// the workers that are to record into it are forked.
RunReport published_run_report();
// The published report's totals; empty totals when none is published.
RunTotals run_totals();

// Record into the published report; nothing happens without one.
void record_written(bool changed, std::uint64_t rows, std::int64_t bytes);
void record_failure(std::string_view what, std::string_view reason);
void record_retry();
void record_revised(std::uint64_t days);

// `text` cut to its first line and at most `max_bytes` bytes, never inside a UTF-8 character.
std::string one_line(std::string_view text, std::size_t max_bytes);

}  // namespace tessera_plus
