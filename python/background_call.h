// Long calls with the global interpreter lock released: the work runs on a thread of its own while
// the calling thread hands its console output to Python and watches Python's signals.
#pragma once

#include <functional>

#include "python/bindings.h"

namespace tessera_plus::python {

// Where a call's console output goes. Standard output lines are logged at INFO on the logger
// "tessera_plus" when that logger is enabled for INFO, and written to sys.stdout otherwise;
// standard error lines (the system log's lines, progress bars) go to sys.stderr, the system log's
// ERROR lines to the logger instead when it is enabled for ERROR. Forked workers write to the same
// descriptors, so their lines arrive the same way.
struct CallOutput {
  // True: progress bars on sys.stderr; False: none; a callable: called as (label, done, total) for
  // every step instead of a bar.
  py::object progress = py::bool_(true);
};

// Runs `work` on another thread, with the lock released and file descriptors 1 and 2 led through
// pipes to Python. Calls from several threads take turns, each waiting (Ctrl-C still heard) until
// the one before has put the descriptors back. A Python signal handler that raises (Ctrl-C:
// KeyboardInterrupt), or an output callback that raises, requests a stop (base/stop_request.h); the
// call still waits for `work` to return, so that the workers are reaped and every commit is either
// whole or rolled back, and then raises that exception. Otherwise what `work` threw is rethrown.
// `work` runs in the HDF5 library's turn (python/hdf5_turn.h): other threads' reads, this module's
// and h5py's, wait for its end, and so a progress callback or log handler must not read with h5py.
// Call with the lock held.
void run_released(const std::function<void()>& work, const CallOutput& output);

// Registers the fork handlers that let forked workers of a released call use Python (the `python`
// market-data source): the forking thread takes the lock and CPython's own fork protocol runs, as
// for os.fork. Forks of other threads are left alone. Once, at import.
void prepare_forks();

}  // namespace tessera_plus::python
