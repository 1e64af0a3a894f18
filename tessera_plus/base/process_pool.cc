#include "tessera_plus/base/process_pool.h"

#include <poll.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <iostream>

#include <fmt/format.h>

#include "tessera_plus/base/errors.h"
#include "tessera_plus/base/logger.h"
#include "tessera_plus/base/progress.h"
#include "tessera_plus/base/run_report.h"

namespace tessera_plus::tessera {
namespace {

// Exit statuses of a worker. Any other way of ending means the worker died in the middle of its
// task, and only the caller's process is left to report it.
constexpr int kTaskDone = 0;
constexpr int kTaskRaised = 3;

void log_failure(const std::string& label, const std::string& reason) noexcept {
  try {
    system_log::error(fmt::format("更新 {} 失败：{}", label, reason));
    record_failure(label, reason);
  } catch (...) {
    // Reporting must not turn one failed task into a failed pool.
  }
}

// A descriptor that becomes readable when the child ends, so the caller can wait for whichever of
// its workers ends first without reaping children that are not the pool's. -1 when the kernel has
// no pidfd; the pool then waits for its workers in start order, which is slower but still exact.
int open_pidfd(pid_t pid) noexcept { return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)); }

std::string describe_death(int status) {
  if (WIFSIGNALED(status)) {
    int sig = WTERMSIG(status);
    return fmt::format("工作进程被信号 {}（{}）终止", sig, ::strsignal(sig));
  }
  return fmt::format("工作进程以状态 {} 退出", WEXITSTATUS(status));
}

// Output that the caller buffered before the fork would otherwise be written twice: once by the
// caller, once by the worker.
void flush_standard_streams() noexcept {
  try {
    std::cout.flush();
    std::cerr.flush();
  } catch (...) {
  }
  std::fflush(nullptr);
}

}  // namespace

struct ProgressedProcessPoolExecutor::Worker {
  pid_t pid;
  int pidfd;
  std::size_t job;
};

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
  ProgressBar bar(jobs_.size());
  std::vector<Worker> running;
  std::size_t next = 0;
  while (next < jobs_.size() || !running.empty()) {
    while (running.size() < max_workers_ && next < jobs_.size()) {
      std::size_t before = failed_;
      start(next++, running);
      if (failed_ != before) bar.advance();
    }
    if (running.empty()) continue;
    reap_one(running);
    bar.advance();
  }
  bar.finish();
  jobs_.clear();
}

void ProgressedProcessPoolExecutor::start(std::size_t job, std::vector<Worker>& running) noexcept {
  flush_standard_streams();
  pid_t pid = ::fork();
  if (pid == 0) run_worker(jobs_[job]);
  if (pid < 0) {
    ++failed_;
    log_failure(jobs_[job].label, fmt::format("无法创建工作进程：{}", std::strerror(errno)));
    return;
  }
  running.push_back(Worker{pid, open_pidfd(pid), job});
}

void ProgressedProcessPoolExecutor::reap_one(std::vector<Worker>& running) noexcept {
  std::size_t ended = 0;
  bool all_pollable = true;
  for (const Worker& w : running) all_pollable = all_pollable && w.pidfd >= 0;
  if (all_pollable) {
    std::vector<pollfd> fds;
    for (const Worker& w : running) fds.push_back(pollfd{w.pidfd, POLLIN, 0});
    while (::poll(fds.data(), fds.size(), -1) < 0 && errno == EINTR) {
    }
    while (ended + 1 < fds.size() && fds[ended].revents == 0) ++ended;
  }
  Worker worker = running[ended];
  running.erase(running.begin() + static_cast<std::ptrdiff_t>(ended));
  int status = 0;
  while (::waitpid(worker.pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (worker.pidfd >= 0) ::close(worker.pidfd);
  record_exit(jobs_[worker.job], status);
}

void ProgressedProcessPoolExecutor::record_exit(const Job& job, int status) noexcept {
  if (WIFEXITED(status) && WEXITSTATUS(status) == kTaskDone) return;
  ++failed_;
  // The worker has written its own line for an error that escaped the task.
  if (WIFEXITED(status) && WEXITSTATUS(status) == kTaskRaised) return;
  log_failure(job.label, describe_death(status));
}

void ProgressedProcessPoolExecutor::run_worker(const Job& job) noexcept {
  int status = kTaskDone;
  try {
    if (initializer_) initializer_();
    job.task();
  } catch (const std::exception& e) {
    log_failure(job.label, e.what());
    status = kTaskRaised;
  } catch (...) {
    log_failure(job.label, "unknown error");
    status = kTaskRaised;
  }
  flush_standard_streams();
  // _exit: the caller's atexit handlers and static destructors (HDF5's among them) belong to the
  // caller, not to this copy of it.
  ::_exit(status);
}

void process_init(SharedFlag flag) { publish_sval(std::move(flag)); }

}  // namespace tessera_plus::tessera
