#include "tessera_plus/bundle/update/grouped_writes.h"

#include <string>
#include <utility>

#include <fmt/format.h>
#include <fmt/ranges.h>

#include "tessera_plus/base/logger.h"
#include "tessera_plus/base/run_report.h"
#include "tessera_plus/bundle/update/write_guard.h"

namespace tessera_plus::bundle {
namespace {

// One line per file, naming every day it had revised, once its commit is durable.
void log_revised_days(const WriteResult& result) {
  if (result.revised_days.empty()) return;
  system_log::info(fmt::format("修订 {} 的 {} 个交易日：{}", result.file,
                               result.revised_days.size(), fmt::join(result.revised_days, ", ")));
  record_revised(result.revised_days.size());
}

void report(const WriteResult& result) {
  if (result.failed()) {
    record_failure(result.file, result.reason);
  } else {
    record_written(result.outcome == WriteResult::Outcome::kChanged, result.rows, result.bytes);
    log_revised_days(result);
  }
}

// The failed commit of `file` among `outcomes`, or null. A file whose session was committed
// early (opened again within its writer) has more than one; any failure fails it.
const h5::CommitGroup::Outcome* failure_of(const std::vector<h5::CommitGroup::Outcome>& outcomes,
                                           const std::string& file) {
  for (const h5::CommitGroup::Outcome& outcome : outcomes) {
    if (outcome.path == file && outcome.error_number != 0) return &outcome;
  }
  return nullptr;
}

}  // namespace

h5::LockDeadline GroupedWrites::committing_first(h5::LockDeadline deadline) {
  if (!deadline) return deadline;
  // The open waits inside HDF5's file open; the commit only writes the group's files, whose HDF5
  // handles are closed already.
  return [this, deadline = std::move(deadline)] {
    commit();
    return deadline();
  };
}

void GroupedWrites::record(const WriteResult& result) {
  if (result.outcome == WriteResult::Outcome::kHeld) return;
  if (result.outcome != WriteResult::Outcome::kPending) {
    report(result);
    return;
  }
  pending_.push_back(result);
  if (group_.pending_files() >= kMaxFiles || group_.pending_bytes() >= kMaxBytes) commit();
}

void GroupedWrites::commit() noexcept {
  try {
    group_.commit();
    const std::vector<h5::CommitGroup::Outcome> outcomes = group_.take_outcomes();
    for (const WriteResult& pending : std::exchange(pending_, {})) {
      report(commit_outcome(pending, failure_of(outcomes, pending.file)));
    }
  } catch (const std::exception& e) {
    // Reporting itself failed (no memory); the files are committed or rolled back either way.
    system_log::error(std::string("cannot report the files of a group commit: ") + e.what());
  }
}

}  // namespace tessera_plus::bundle
