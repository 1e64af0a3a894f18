#include "tessera_plus/h5/lock_wait.h"

#include <sys/file.h>

#include <algorithm>
#include <cerrno>
#include <thread>

namespace tessera_plus::h5 {
namespace {

constexpr std::chrono::milliseconds kFirstPause{10};
constexpr std::chrono::milliseconds kLongestPause{250};

int try_lock(int fd, int operation) {
  while (::flock(fd, operation | LOCK_NB) != 0) {
    if (errno != EINTR) return errno;
  }
  return 0;
}

}  // namespace

int lock_waiting(int fd, int operation, const LockDeadline& deadline) {
  int error = try_lock(fd, operation);
  if (error != EWOULDBLOCK || !deadline) return error;
  const LockClock::time_point until = deadline();
  std::chrono::milliseconds pause = kFirstPause;
  while (error == EWOULDBLOCK && LockClock::now() < until) {
    // Never past the deadline: the last try comes when the wait is up, not a pause later.
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(until - LockClock::now());
    std::this_thread::sleep_for(std::clamp(left, std::chrono::milliseconds(0), pause));
    pause = std::min(pause * 2, kLongestPause);
    error = try_lock(fd, operation);
  }
  return error;
}

}  // namespace tessera_plus::h5
