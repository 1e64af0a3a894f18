#include "tessera_plus/base/worker_registry.h"

#include <signal.h>
#include <sys/wait.h>

#include <array>
#include <atomic>
#include <cerrno>

namespace tessera_plus {
namespace {

// Process-wide because a signal handler can reach nothing else; lock-free atomics, so that the
// handler may read them whatever the pool was doing. A worker beyond the slots goes untracked
// and dies with its caller (it asks for SIGKILL at its caller's death) rather than before it.
constexpr std::size_t kSlots = 1024;
std::array<std::atomic<pid_t>, kSlots> workers{};
static_assert(std::atomic<pid_t>::is_always_lock_free, "read from signal handlers");

}  // namespace

void track_worker(pid_t pid) noexcept {
  for (std::atomic<pid_t>& slot : workers) {
    pid_t free = 0;
    if (slot.compare_exchange_strong(free, pid)) return;
  }
}

void untrack_worker(pid_t pid) noexcept {
  for (std::atomic<pid_t>& slot : workers) {
    pid_t tracked = pid;
    if (slot.compare_exchange_strong(tracked, 0)) return;
  }
}

void kill_workers_now() noexcept {
  for (std::atomic<pid_t>& slot : workers) {
    if (const pid_t pid = slot.load(); pid > 0) ::kill(pid, SIGKILL);
  }
  for (std::atomic<pid_t>& slot : workers) {
    const pid_t pid = slot.exchange(0);
    if (pid <= 0) continue;
    while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
  }
}

}  // namespace tessera_plus
