// A lock that one process at a time holds over something many processes share (a data bundle), so
// that runs which must not overlap take turns. It is an flock on the shared directory itself: the
// kernel releases it when the last process that holds it ends, however it ends, so a killed run
// leaves nothing stale to clean up, and a file removed by hand cannot let a second run in beside
// the first. A lock file in that directory says who holds it: the holder writes one line with its
// process id, start time and command line into it, for the run that finds the lock taken. A holder
// that lets go removes the file; one that is killed leaves it to the next run, which replaces it.
#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

namespace tessera_plus {

class RunLock {
 public:
  // Takes the lock on the directory of the lock file `path`, waiting up to `wait` while another
  // process holds it; nullopt when it is still held then, with the holder's line in `*holder` when
  // given. A holder that the line does not name as a live process (a killed run whose workers are
  // still being torn down) is waited for a few seconds more. `on_wait` is called once, with the
  // holder's line, when the lock is found taken and `wait` is not zero. Forked children share the
  // lock (and keep it until they end); programs they exec do not. OSError when the directory
  // cannot be opened (ENOENT: it is missing), PermissionError when this user may not write it
  // (locking needs no more than reading, but every holder writes), Interrupted when a stop is
  // requested while waiting.
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
  // Removes the lock file (in the process that took the lock) and lets go of the lock (a forked
  // child only lets go of its share).
  ~RunLock();

  // Whether this process holds the run lock on the directory `dir`: for a step that must exclude
  // other runs and may be called with or without its caller holding it.
  static bool held_here(const std::filesystem::path& dir);

  // Removes the lock file now and keeps the lock: for a holder that removes the directory itself
  // before letting go, so that a waiter finds it gone rather than taking a lock on a removed one.
  void remove_file();

 private:
  // Owns `fd`, the directory; with a `path`, as the taker of the lock on it.
  explicit RunLock(int fd) : fd_(fd) {}
  int fd_;
  std::filesystem::path path_;  // set once the lock is taken
  int owner_ = 0;               // the process that took it
};

}  // namespace tessera_plus
