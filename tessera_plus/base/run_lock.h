// A lock that one process at a time holds over something many processes share (a data bundle), so
// that runs which must not overlap take turns. It is an flock on a lock file: the kernel releases
// it when its holder ends, however it ends, so a killed run leaves nothing stale to clean up. The
// lock file also says who holds it: the holder writes one line with its process id, start time and
// command line into it, for the run that finds the lock taken. A holder that lets go removes the
// file; one that is killed leaves it to the next run, which takes it over.
#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

namespace tessera_plus {

class RunLock {
 public:
  // Takes the lock on the file at `path` (created when missing), waiting up to `wait` while
  // another process holds it; nullopt when it is still held then, with the holder's line in
  // `*holder` when given. `on_wait` is called once, with the holder's line, when the lock is found
  // taken and `wait` is not zero. Forked children share the lock (and keep it until they end);
  // programs they exec do not. OSError when the file cannot be opened (ENOENT: its directory is
  // missing) or locked.
  static std::optional<RunLock> acquire(
      const std::filesystem::path& path, std::chrono::milliseconds wait,
      const std::function<void(const std::string& holder)>& on_wait = nullptr,
      std::string* holder = nullptr);

  // Who holds (or last held) the lock at `path`, as its holder wrote it:
  // "进程 {pid}，开始于 {YYYY-MM-DD HH:MM:SS}，命令 {command line}". "进程未知" when the file says
  // nothing (its holder could not write it) or is gone.
  static std::string holder(const std::filesystem::path& path);

  RunLock(RunLock&& other) noexcept
      : fd_(other.fd_), path_(std::move(other.path_)), owner_(other.owner_) {
    other.fd_ = -1;
  }
  RunLock(const RunLock&) = delete;
  RunLock& operator=(const RunLock&) = delete;
  RunLock& operator=(RunLock&&) = delete;
  // Removes the lock file and releases the lock (in the process that took it; a forked child only
  // lets go of its share).
  ~RunLock();

 private:
  // Owns `fd`; with a `path`, as the taker of the lock on it.
  explicit RunLock(int fd) : fd_(fd) {}
  RunLock(int fd, std::filesystem::path path);
  int fd_;
  std::filesystem::path path_;  // set once the lock is taken
  int owner_ = 0;               // the process that took it
};

}  // namespace tessera_plus
