// Running work on untrusted input where a crash cannot take the caller down: each item in a forked
// child process of its own, a few at a time, results handed back in item order.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

namespace tessera_plus {

// How one item's child ended.
struct IsolatedOutcome {
  bool completed = false;  // the work returned and `reply` is whole
  std::string reply;       // what the work returned
  int signal = 0;          // the signal that killed the child, or 0
  int exit_status = 0;     // the child's exit status when it ended without replying
  // "killed by signal 11 (Segmentation fault)" or "exited with status 3", for messages.
  std::string describe() const;
};

// A child that spins inside a damaged file's decoder is ended by SIGXCPU after this much CPU time,
// far beyond what any sound file needs.
inline constexpr unsigned kIsolatedCpuSeconds = 300;

// Runs `work(i)` for every i in [0, count), each in a forked child process, at most `jobs` alive at
// once, and calls `on_done(i, outcome)` in the caller's process in index order, each as soon as it
// and every item before it are done. The work's reply travels back through a pipe; an exception
// escaping `work` ends its child with a non-zero status (so `work` should turn its expected
// errors into its reply). When `on_done` returns false, nothing more starts, the children still
// running are killed and reaped, and the call returns.
//
// The children inherit the caller's state as it is at their fork and leave through _exit, never
// through the caller's atexit handlers. Call from one thread; `jobs` below 1 counts as 1.
// OSError when a child or pipe cannot be created.
void run_isolated(std::size_t count, int jobs, const std::function<std::string(std::size_t)>& work,
                  const std::function<bool(std::size_t, IsolatedOutcome&&)>& on_done);

}  // namespace tessera_plus
