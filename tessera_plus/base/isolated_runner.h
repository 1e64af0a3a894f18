// Running work on untrusted input where a crash cannot take the caller down: items in forked worker
// processes that take one item after another, a few at a time, results handed back in item order.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>

namespace tessera_plus {

// How one item ended.
struct IsolatedOutcome {
  bool completed = false;  // the work returned and `reply` is whole
  std::string reply;       // what the work returned
  int signal = 0;          // the signal that killed the worker during this item, or 0
  int exit_status = 0;     // the worker's exit status when it ended without replying
  bool raised = false;     // an exception escaped the work (the worker lived to say so)
  // "killed by signal 11 (Segmentation fault)" or "exited with status 3", for messages.
  std::string describe() const;
};

// A worker that spins inside a damaged file's decoder is ended by SIGXCPU after this much CPU time
// on one item, far beyond what any sound file needs.
inline constexpr unsigned kIsolatedCpuSeconds = 300;

struct IsolationOptions {
  // Workers at most working at once; below 1 counts as 1.
  int jobs = 1;
  // CPU seconds one item may use before SIGXCPU ends its worker; 0 for no limit (work on trusted
  // input whose size has no bound, like a first build of a long history).
  unsigned cpu_seconds_per_item = kIsolatedCpuSeconds;
  // A worker whose work raised takes no further item, so that nothing the failure left behind in
  // the process meets the next item.
  bool retire_after_raise = false;
  // False: each outcome is handed to `on_done` as soon as it is known, in whatever order items end
  // (a progress count has no use for order, and must not stall behind one long item).
  bool in_order = true;
  // Items handed to workers at most this far ahead of the first one not yet handed over (0: no
  // bound), so that outcomes waiting behind a slow item cannot pile up without end.
  std::size_t window = 0;
  // Workers that may start beyond `jobs` once `more_jobs_wanted()` says so (asked in the caller
  // whenever an item is handed out): for work that only sometimes waits on something outside the
  // machine, where more workers then hide the wait and otherwise only cost their forks.
  int more_jobs = 0;
  std::function<bool()> more_jobs_wanted{};
  // Called in the caller whenever `wait_interval` passes without an outcome, so that a progress
  // line can show that work is in flight although no item ended.
  std::function<void()> while_waiting{};
  std::chrono::milliseconds wait_interval{1000};
  // Runs in a worker whenever it has answered an item and no next item waits for it, and before it
  // leaves (its input ended, or it retires): work that a worker batches across items (commits
  // that share their barriers) ends there, before the caller can count the worker done. Must not
  // throw.
  std::function<void()> before_idle{};
};

// Runs `work(i)` for every i in [0, count) in forked worker processes, at most `options.jobs`
// working at once, and calls `on_done(i, outcome)` in the caller's process in index order, each as
// soon as it and every item before it are done (with `in_order` off: each as soon as it is done). A
// worker works on one item at a time, takes them through a socket in which the next few already
// wait, and sends each reply back framed with its index, so a batch costs a fork per worker rather
// than per item and no round trip between items. A worker that dies during an item (a signal, an
// exit) costs that item only: its outcome names the signal or status, and the items queued behind
// it, which it never started, go to a fresh worker. An exception escaping `work` is reported as
// `raised` with a non-zero exit status (so `work` should turn its expected errors into its reply).
// Workers retire after a few hundred items or once they have used their CPU allowance, so that what
// the library leaks per item and the CPU limit stay bounded. When `on_done` returns false, nothing
// more starts, the workers are killed and reaped, and the call returns. Once a stop is requested
// (base/stop_request.h), nothing more starts either: the items in flight end and are handed over,
// the workers are reaped and the call returns, the rest never started and not handed over.
// Workers ignore SIGINT, SIGTERM and SIGHUP (stopping is the caller's to decide) and die with the
// caller.
//
// The workers inherit the caller's state as it is at their fork and leave through _exit, never
// through the caller's atexit handlers. Call from one thread.
// OSError when a worker or socket cannot be created.
void run_isolated(std::size_t count, const std::function<std::string(std::size_t)>& work,
                  const std::function<bool(std::size_t, IsolatedOutcome&&)>& on_done,
                  const IsolationOptions& options = {});

}  // namespace tessera_plus
