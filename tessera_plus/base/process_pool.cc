#include "tessera_plus/base/process_pool.h"

#include <cstring>
#include <vector>

#include <fmt/format.h>

#include "tessera_plus/base/errors.h"
#include "tessera_plus/base/isolated_runner.h"
#include "tessera_plus/base/logger.h"
#include "tessera_plus/base/progress.h"
#include "tessera_plus/base/run_report.h"

namespace tessera_plus {
namespace {

void log_failure(const std::string& label, const std::string& reason) noexcept {
  try {
    system_log::error(fmt::format("更新 {} 失败：{}", label, reason));
    record_failure(label, reason);
  } catch (...) {
    // Reporting must not turn one failed task into a failed pool.
  }
}

std::string describe_death(const IsolatedOutcome& outcome) {
  if (outcome.signal != 0) {
    return fmt::format("工作进程被信号 {}（{}）终止", outcome.signal, ::strsignal(outcome.signal));
  }
  return fmt::format("工作进程以状态 {} 退出", outcome.exit_status);
}

}  // namespace

ProgressedProcessPoolExecutor::ProgressedProcessPoolExecutor(int max_workers,
                                                             std::function<void()> initializer)
    : initializer_(std::move(initializer)) {
  if (max_workers < 1) throw ValueError("max_workers must be greater than 0");
  max_workers_ = static_cast<std::size_t>(max_workers);
}

ProgressedProcessPoolExecutor::~ProgressedProcessPoolExecutor() { close(); }

void ProgressedProcessPoolExecutor::submit(std::string label, Task task) {
  if (closed_) throw Error("cannot submit a task to a closed pool");
  jobs_.push_back(Job{std::move(label), std::move(task)});
}

void ProgressedProcessPoolExecutor::close() noexcept {
  if (closed_) return;
  closed_ = true;
  ProgressBar bar(jobs_.size(), progress_label_);
  // Outcomes arrive as tasks end, in any order.
  std::vector<bool> ended(jobs_.size(), false);
  try {
    // Each worker's copy of this flag starts false at its fork, so the initializer runs once in
    // every worker and never in the caller.
    bool initialised = false;
    run_isolated(
        jobs_.size(),
        [&](std::size_t job) {
          run_task(jobs_[job], initialised);
          return std::string();
        },
        [&](std::size_t job, IsolatedOutcome&& outcome) {
          record_outcome(jobs_[job], outcome);
          ended[job] = true;
          bar.advance();
          return true;
        },
        IsolationOptions{.jobs = static_cast<int>(max_workers_),
                         .cpu_seconds_per_item = 0,
                         .retire_after_raise = true,
                         .in_order = false,
                         .more_jobs = more_workers_,
                         .more_jobs_wanted = more_workers_wanted_,
                         .while_waiting = [&bar] { bar.heartbeat(); },
                         .wait_interval = ProgressBar::heartbeat_interval(),
                         .before_idle = before_idle_});
  } catch (const std::exception& e) {
    // No worker could be started for the tasks left: each of them failed.
    for (std::size_t job = 0; job < jobs_.size(); ++job) {
      if (ended[job]) continue;
      ++failed_;
      log_failure(jobs_[job].label, fmt::format("无法创建工作进程：{}", e.what()));
      bar.advance();
    }
  }
  bar.finish();
  jobs_.clear();
}

void ProgressedProcessPoolExecutor::run_task(const Job& job, bool& initialised) const {
  try {
    if (!initialised && initializer_) initializer_();
    initialised = true;
    job.task();
  } catch (const std::exception& e) {
    log_failure(job.label, e.what());
    throw;
  } catch (...) {
    log_failure(job.label, "unknown error");
    throw;
  }
}

void ProgressedProcessPoolExecutor::record_outcome(const Job& job,
                                                   const IsolatedOutcome& outcome) noexcept {
  if (outcome.completed) return;
  ++failed_;
  // The worker has written its own line for an error that escaped the task.
  if (outcome.raised) return;
  log_failure(job.label, describe_death(outcome));
}

void process_init(SharedFlag flag) { publish_sval(std::move(flag)); }

}  // namespace tessera_plus
