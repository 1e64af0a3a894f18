// A request to stop the run: raised by the program's signal handlers (SIGINT, SIGTERM, SIGHUP) or
// by the Python binding on KeyboardInterrupt, and polled by the loops that hand out work, which
// then hand out no more, let the commits in flight end and return. Process-wide because a signal
// handler can reach nothing else; an atomic int, so raising it is async-signal-safe.
#pragma once

namespace tessera_plus {

// Records `signo` as the reason to stop; the first request's signal is kept.
void request_stop(int signo) noexcept;
bool stop_requested() noexcept;
// The signal of the first request, 0 when none was made.
int stop_signal() noexcept;
// Forgets the request, for a caller (the Python module) that runs again in the same process.
void clear_stop() noexcept;

}  // namespace tessera_plus
