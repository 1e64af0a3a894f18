#include "tessera_plus/base/stop_request.h"

#include <atomic>

namespace tessera_plus {
namespace {

std::atomic<int> requested_signal{0};
static_assert(std::atomic<int>::is_always_lock_free, "raised from signal handlers");

}  // namespace

void request_stop(int signo) noexcept {
  int none = 0;
  requested_signal.compare_exchange_strong(none, signo == 0 ? -1 : signo);
}

bool stop_requested() noexcept { return requested_signal.load() != 0; }

int stop_signal() noexcept {
  int signo = requested_signal.load();
  return signo < 0 ? 0 : signo;
}

void clear_stop() noexcept { requested_signal.store(0); }

}  // namespace tessera_plus
