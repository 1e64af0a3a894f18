// The files a worker process of an update has written and whose commits wait to be made together:
// one barrier for all their rollback records and one for all their new bytes, instead of two for
// each file. Each file is reported in the run report only once its commit has ended, as updated
// when it is durable and as failed, with its reason, when its own commit failed.
#pragma once

#include <cstddef>
#include <vector>

#include "tessera_plus/bundle/update/writer.h"
#include "tessera_plus/h5/journal_driver.h"

namespace tessera_plus::bundle {

class GroupedWrites {
 public:
  // A group commits once it holds this many files or this many bytes of writes (kept in memory
  // until then), whichever comes first. A file stays locked from its writer's close until its
  // group commits, so a reader that opens it meanwhile waits for at most a group's worth of
  // writes.
  static constexpr std::size_t kMaxFiles = 8;
  static constexpr std::size_t kMaxBytes = std::size_t{32} << 20;

  GroupedWrites() = default;
  GroupedWrites(const GroupedWrites&) = delete;
  GroupedWrites& operator=(const GroupedWrites&) = delete;

  // For WriteRequest::commit_group.
  h5::CommitGroup* group() { return &group_; }

  // `deadline` for a writer's open, which commits the group first when the open has to wait for
  // a file that a reader holds: the files of the group are not kept from their own readers while
  // this one is waited for. Unset stays unset.
  h5::LockDeadline committing_first(h5::LockDeadline deadline);

  // Records a writer's `result` in the run report (record_written, record_failure): a kPending
  // one once its group has committed, which happens here when the group is full. kHeld results
  // are not for the report and are ignored.
  void record(const WriteResult& result);

  // Commits what waits in the group and records each of its files. Never throws.
  void commit() noexcept;

 private:
  h5::CommitGroup group_;
  std::vector<WriteResult> pending_;
};

}  // namespace tessera_plus::bundle
