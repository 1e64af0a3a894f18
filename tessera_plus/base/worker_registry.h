// The worker processes this process has running, for the one place that cannot ask their pools:
// a signal handler that must end the run at once and leave no worker writing behind it.
#pragma once

#include <sys/types.h>

namespace tessera_plus {

// Pools record each worker from its fork until it is reaped.
void track_worker(pid_t pid) noexcept;
void untrack_worker(pid_t pid) noexcept;

// Kills every tracked worker and reaps it, so that none still holds or writes a file when this
// returns. Async-signal-safe.
void kill_workers_now() noexcept;

}  // namespace tessera_plus
