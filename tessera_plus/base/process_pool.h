// Runs per-instrument updates in a pool of worker processes. Tasks run in worker PROCESSES, never
// threads: the HDF5 library is not thread-safe, and a crash in one task must not take the
// caller or the other tasks with it.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "tessera_plus/base/isolated_runner.h"
#include "tessera_plus/base/shared_flag.h"

namespace tessera_plus {

// Runs submitted tasks in forked worker processes, at most `max_workers` working at once, and shows
// finished/total, rate and time left on standard error.
//
// A worker is forked from the caller, runs the initializer once and then takes task after task
// (base/isolated_runner.h): a fork per worker rather than per task, since a fork per task would be
// most of the time of a nightly update of a thousand small appends. A worker whose task failed
// takes no other task, so what a failure leaves behind (a half-written library state) never meets
// another task; a worker also makes way for a fresh one after a few hundred tasks. Tasks start in
// the order submitted when the pool is closed, once the batch is complete: the progress bar knows
// its total and every worker sees the caller's state as it was after the last submit.
//
// A task fails when an error escapes it (the worker writes one `system_log.error` line naming the
// task's label and the error) or when its worker dies (a signal, an exit of its own; the caller's
// process writes the line). Failures never stop the other tasks, and closing always returns. A stop
// request (base/stop_request.h) ends closing once the tasks in flight have ended; the tasks not
// started then are neither run nor counted as failed, and the caller checks the request.
//
// Use from one thread of the caller. Not copyable; closing is also what the destructor does.
class ProgressedProcessPoolExecutor {
 public:
  using Task = std::function<void()>;

  // ValueError when `max_workers` is less than 1.
  explicit ProgressedProcessPoolExecutor(int max_workers, std::function<void()> initializer = {});
  // `initializer(initargs...)` runs in every worker before its task.
  template <typename... Params, typename... Args>
  ProgressedProcessPoolExecutor(int max_workers, void (*initializer)(Params...),
                                std::tuple<Args...> initargs)
      : ProgressedProcessPoolExecutor(
            max_workers, [initializer, initargs] { std::apply(initializer, initargs); }) {}
  ~ProgressedProcessPoolExecutor();
  ProgressedProcessPoolExecutor(const ProgressedProcessPoolExecutor&) = delete;
  ProgressedProcessPoolExecutor& operator=(const ProgressedProcessPoolExecutor&) = delete;

  // Queues `task`; `label` names it in log lines (for an update: what it updates). Error after
  // close().
  void submit(std::string label, Task task);
  // `hook` runs in a worker whenever it has finished a task and no next one waits for it, and
  // before it leaves (isolated_runner.h): for what a worker batches across its tasks. Must not
  // throw. Before close().
  void before_worker_idle(Task hook) { before_idle_ = std::move(hook); }
  // Up to `count` more workers than `max_workers` once `wanted()` says so, asked in the caller as
  // tasks are handed out (isolated_runner.h: more_jobs). Before close().
  void add_workers_when(int count, std::function<bool()> wanted) {
    more_workers_ = count;
    more_workers_wanted_ = std::move(wanted);
  }
  // Runs every queued task and waits until all have finished. Never throws; later calls do
  // nothing.
  void close() noexcept;

  // What the tasks are, as the caption of the progress bar ("分钟线文件"); set before close().
  void set_progress_label(std::string label) { progress_label_ = std::move(label); }

  // Tasks that failed, as counted by close().
  std::size_t failed() const { return failed_; }

 private:
  struct Job {
    std::string label;
    Task task;
  };

  void run_task(const Job& job, bool& initialised) const;
  void record_outcome(const Job& job, const IsolatedOutcome& outcome) noexcept;

  std::size_t max_workers_;
  std::function<void()> initializer_;
  Task before_idle_;
  int more_workers_ = 0;
  std::function<bool()> more_workers_wanted_;
  std::vector<Job> jobs_;
  std::string progress_label_;
  std::size_t failed_ = 0;
  bool closed_ = false;
};

// The initializer that update pools hand to every worker: publishes `flag` as this process's
// `sval`. The market-data client inherited from the caller is usable in the worker as it is.
void process_init(SharedFlag flag);

}  // namespace tessera_plus
