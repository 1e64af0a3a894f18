// The few system calls that a journaled commit makes, counted and, for tests, made to fail or to
// end the process at a chosen call. Production code passes no fault plan and gets plain calls.
#pragma once

#include <sys/types.h>

#include <cerrno>
#include <cstddef>
#include <optional>
#include <span>
#include <string>

#include "tessera_plus/base/io_recorder.h"

namespace tessera_plus::h5 {

// The exit status of a process that a fault plan ended at its crash point.
inline constexpr int kFaultCrashStatus = 86;

// A test-only instruction: the `nth` call (1-based) of kind `call` fails with `error_number`, or,
// with `crash`, the process ends with _exit(kFaultCrashStatus) just before making it, as a SIGKILL
// would. `sticky` makes every matching call from the nth on fail (a disk that stays full).
struct FaultPlan {
  enum class Call { kAny, kWrite, kFsync, kTruncate };
  Call call = Call::kAny;
  int nth = 0;
  int error_number = EIO;
  bool crash = false;
  bool sticky = false;
  // Told every call that succeeds (crash-state tests); no call fails for it alone.
  IoRecorder* recorder = nullptr;
};

struct IoCounts {
  int writes = 0;
  int fsyncs = 0;
  int truncates = 0;
  int unlinks = 0;
  int renames = 0;
  int total() const { return writes + fsyncs + truncates + unlinks + renames; }
};

// Each call returns 0 or the errno of its failure; none throws, because the driver that uses them
// runs inside HDF5 callbacks.
class JournalIo {
 public:
  explicit JournalIo(std::optional<FaultPlan> plan = std::nullopt)
      : plan_(plan), recorder_(plan ? plan->recorder : nullptr) {}

  int pwrite_all(int fd, const void* data, std::size_t size, off_t offset);
  int fsync(int fd);
  // fsync without the file's timestamps: its data and what reading the data needs (the size, the
  // blocks). Counted and failed as an fsync.
  int fdatasync(int fd);
  // Makes a rename or unlink in the directory of `path` durable.
  int fsync_directory_of(const std::string& path);
  // fdatasync of each of `files` and fsync of the directory of `directory_of`, made at once so
  // that the file system can serve them with one wait instead of one each: for barriers whose
  // order among themselves does not matter. Each is counted, and failed or crashed at by a fault
  // plan, as one fsync, in that order; a fault plan makes them one after another, in that order.
  // Returns 0 or the errno of the first failure in that order. An empty `directory_of` syncs no
  // directory.
  int sync_together(std::span<const int> files, const std::string& directory_of);
  int ftruncate(int fd, off_t size);
  int unlink(const std::string& path);
  int rename(const std::string& from, const std::string& to);

  const IoCounts& counts() const { return counts_; }
  // Whether a fault plan (tests) drives these calls: they must then come one after another.
  bool planned() const { return plan_.has_value(); }

 private:
  int injected(FaultPlan::Call kind, int seen_of_kind);
  std::optional<FaultPlan> plan_;
  IoRecorder* recorder_;
  IoCounts counts_;
};

// Reads exactly `size` bytes at `offset`, or fewer at the end of the file; returns -1 with errno
// set.
ssize_t pread_full(int fd, void* data, std::size_t size, off_t offset);

}  // namespace tessera_plus::h5
