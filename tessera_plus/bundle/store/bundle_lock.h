// The bundle's run lock: one writing run at a time per bundle. The runs that change the bundle (the
// full and the smart update, the check that deletes, the sample download), from the command line
// or from Python, each hold it for their whole length, so that a slow night's update and the next
// one cron starts, or a notebook's, never write the same files at once. Reading (status, checks
// that only report) takes no lock.
#pragma once

#include <chrono>
#include <filesystem>
#include <optional>
#include <ostream>
#include <vector>

#include <unistd.h>

#include "tessera_plus/base/run_lock.h"

namespace tessera_plus::bundle {

// Whether a run may create the bundle directory to lock it: the runs that would create it anyway
// (the full update, the sample download) do; for the others a missing bundle directory holds
// nothing to guard, so no lock is taken and the run reports the missing directory itself.
enum class MissingBundle { kCreate, kNoLock };

// The bundle's run lock while a run holds it. Letting go removes the lock file, and the directories
// that taking the lock created when nothing else came to live in them, so that a run that ended
// before writing (a refused permission, nothing asked for) leaves no trace.
class BundleLock {
 public:
  BundleLock(RunLock lock, std::vector<std::filesystem::path> created)
      : created_(std::move(created)), lock_(std::move(lock)) {}
  BundleLock(BundleLock&&) = default;
  BundleLock(const BundleLock&) = delete;
  BundleLock& operator=(const BundleLock&) = delete;
  BundleLock& operator=(BundleLock&&) = delete;
  ~BundleLock();

 private:
  std::vector<std::filesystem::path> created_;  // deepest first
  std::optional<RunLock> lock_;
  int owner_ = ::getpid();
};

// Takes the run lock of the bundle under `data_bundle_path`, waiting up to `wait` for the run that
// holds it. When it has to wait, says so on `out` (when given) in one line:
// "数据包 {bundle} 正被另一个任务使用（{holder}），最多等待 {seconds} 秒". Still held after `wait`:
// BlockingIOError with the one-line message "数据包 {bundle} 正被另一个任务使用（{holder}）", where
// the holder is "进程 {pid}，开始于 {time}，命令 {command line}". OSError when the directory cannot
// be created or opened; PermissionError when this user may not write it.
std::optional<BundleLock> lock_bundle(const std::filesystem::path& data_bundle_path,
                                      std::chrono::milliseconds wait, MissingBundle missing,
                                      std::ostream* out = nullptr);

}  // namespace tessera_plus::bundle
