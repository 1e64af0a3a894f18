// Waiting for a file lock that another process holds: a reader's shared lock (HDF5 takes one on
// every read-only open unless HDF5_USE_FILE_LOCKING says otherwise) keeps a writer out until the
// reader closes the file.
#pragma once

#include <chrono>
#include <functional>

namespace tessera_plus::h5 {

using LockClock = std::chrono::steady_clock;

// Asked once, when a lock is first refused: the time until which to keep trying. Unset, or a time
// already past, means one try only. The clock is the system's monotonic one, so a deadline taken
// in one process means the same moment in another.
using LockDeadline = std::function<LockClock::time_point()>;

// flock(fd, operation | LOCK_NB), tried again after a pause that grows from 10 ms to a quarter of
// a second while the lock is held elsewhere and `deadline` allows. 0 or the errno of the last try
// (EWOULDBLOCK when the wait ran out).
int lock_waiting(int fd, int operation, const LockDeadline& deadline);

}  // namespace tessera_plus::h5
