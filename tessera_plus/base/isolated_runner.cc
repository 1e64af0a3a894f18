#include "tessera_plus/base/isolated_runner.h"

#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <iostream>
#include <map>
#include <new>
#include <optional>
#include <set>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "tessera_plus/base/errors.h"
#include "tessera_plus/base/stop_request.h"
#include "tessera_plus/base/worker_registry.h"

namespace tessera_plus {
namespace {

using Work = std::function<std::string(std::size_t)>;

constexpr int kWorkRaised = 70;

// A worker that finds the run stopping before an item leaves with this status, the item unstarted.
constexpr int kWorkerStopped = 75;

// How long the caller waits for a reply before it looks at the stop request again: a request
// raised in the process without a signal (the Python module's) interrupts no wait.
constexpr int kStopPollMs = 100;

// A worker answers this many items and then makes way for a fresh one: HDF5 keeps a little memory
// from every file it failed to open, and a long-lived worker would gather all of it.
constexpr std::size_t kItemsPerWorker = 256;

// Items handed to a worker ahead of its replies: the next index already waits in its socket when
// it finishes one, so it never sits idle while the caller reads a reply, asks the service and
// sends the next. One waiting item is enough for that; more would only leave items queued behind a
// slow file while another worker runs out of work at the end. Items behind the one a worker dies
// on never started; they go to another worker.
constexpr std::size_t kItemsInFlight = 2;

// A reply travels as a frame: the item (8 bytes), whether the work raised (1), whether the worker
// retires after it (1), the reply's length (8), then the reply.
constexpr std::size_t kHeaderSize = 18;

bool write_all(int fd, const char* data, std::size_t size) noexcept {
  while (size > 0) {
    ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

bool read_all(int fd, char* data, std::size_t size) noexcept {
  while (size > 0) {
    ssize_t n = ::read(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

double cpu_seconds_used() noexcept {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
}

// The CPU limit counts the whole life of a process, so each item gets its own allowance on top of
// what the worker has used so far; the hard limit caps a worker's life at two allowances, and a
// worker retires once it has used one (see serve).
void allow_cpu_for_one_item(unsigned seconds) noexcept {
  rlimit cpu{};
  ::getrlimit(RLIMIT_CPU, &cpu);
  const auto used = static_cast<rlim_t>(cpu_seconds_used()) + 1;
  cpu.rlim_cur = std::min<rlim_t>(used + seconds, cpu.rlim_max);
  ::setrlimit(RLIMIT_CPU, &cpu);
}

// The frame goes out in one call, so that the caller wakes once for it rather than once for the
// header and again for the reply.
bool send_reply(int fd, std::size_t item, bool raised, bool retiring,
                const std::string& reply) noexcept {
  char header[kHeaderSize];
  const auto index = static_cast<std::uint64_t>(item);
  const auto length = static_cast<std::uint64_t>(reply.size());
  std::memcpy(header, &index, 8);
  header[8] = raised ? 1 : 0;
  header[9] = retiring ? 1 : 0;
  std::memcpy(header + 10, &length, 8);
  iovec parts[2] = {{header, kHeaderSize}, {const_cast<char*>(reply.data()), reply.size()}};
  msghdr message{};
  message.msg_iov = parts;
  message.msg_iovlen = 2;
  ssize_t n = 0;
  do {
    n = ::sendmsg(fd, &message, MSG_NOSIGNAL);
  } while (n < 0 && errno == EINTR);
  if (n <= 0) return false;
  // What did not fit in the socket at once follows in plain writes.
  const auto sent = static_cast<std::size_t>(n);
  if (sent < kHeaderSize) {
    return write_all(fd, header + sent, kHeaderSize - sent) &&
           write_all(fd, reply.data(), reply.size());
  }
  return write_all(fd, reply.data() + (sent - kHeaderSize), reply.size() - (sent - kHeaderSize));
}

bool item_waits(int fd) noexcept {
  pollfd waiting{fd, POLLIN, 0};
  int n = 0;
  do {
    n = ::poll(&waiting, 1, 0);
  } while (n < 0 && errno == EINTR);
  return n > 0;
}

void run_hook(const std::function<void()>& hook) noexcept {
  if (!hook) return;
  try {
    hook();
  } catch (...) {
    // The hook reports its own failures; the worker's protocol goes on.
  }
  std::fflush(nullptr);
}

// A worker's life: items by index from the socket, one frame back for each, until the caller
// closes its end or the worker has done its share.
[[noreturn]] void serve(int fd, const Work& work, const IsolationOptions& options,
                        const std::atomic<int>& stopping) noexcept {
  const unsigned allowance = options.cpu_seconds_per_item;
  if (allowance > 0) {
    rlimit cpu{allowance, 2 * allowance + 5};
    ::setrlimit(RLIMIT_CPU, &cpu);
  }
  for (std::size_t done = 0;;) {
    std::uint64_t item = 0;
    if (!read_all(fd, reinterpret_cast<char*>(&item), sizeof item)) break;
    if (stopping.load() != 0) {
      // Items already answered keep their work: what the hook holds back (a group's commit) ends.
      run_hook(options.before_idle);
      ::_exit(kWorkerStopped);
    }
    if (allowance > 0) allow_cpu_for_one_item(allowance);
    std::string reply;
    bool raised = false;
    try {
      reply = work(static_cast<std::size_t>(item));
    } catch (...) {
      raised = true;
      reply.clear();
    }
    std::cout.flush();
    std::cerr.flush();
    std::fflush(nullptr);
    const bool retiring = ++done >= kItemsPerWorker || (raised && options.retire_after_raise) ||
                          (allowance > 0 && cpu_seconds_used() >= allowance);
    if (!send_reply(fd, static_cast<std::size_t>(item), raised, retiring, reply) || retiring) break;
    if (!item_waits(fd)) run_hook(options.before_idle);
  }
  run_hook(options.before_idle);
  std::fflush(nullptr);
  ::_exit(0);
}

struct Worker {
  pid_t pid = -1;
  int socket = -1;
  std::deque<std::size_t> items;  // sent and not answered, in the order it takes them
  std::size_t sent = 0;           // items sent over its life, at most kItemsPerWorker
  bool retiring = false;          // takes no more items; its end of file follows
  std::string received;
};

struct Finished {
  std::size_t item;
  IsolatedOutcome outcome;
};

IsolatedOutcome outcome_of_exit(int status) {
  IsolatedOutcome outcome;
  if (WIFSIGNALED(status)) {
    outcome.signal = WTERMSIG(status);
  } else {
    outcome.exit_status = WEXITSTATUS(status);
  }
  return outcome;
}

// A worker leaves stopping to its caller: a terminal's Ctrl-C reaches the whole process group, and
// the item a worker is on finishes whatever the signal; and it dies with its caller, so that a
// caller ended at once (a second signal) leaves none running.
void detach_from_stop_signals(pid_t caller, const sigset_t& before_fork) noexcept {
  for (int signo : {SIGINT, SIGTERM, SIGHUP}) ::signal(signo, SIG_IGN);
  ::sigprocmask(SIG_SETMASK, &before_fork, nullptr);
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (::getppid() != caller) ::_exit(kWorkerStopped);
}

// The flag the caller raises to stop its workers, in memory they share with it.
class StopPage {
 public:
  StopPage() {
    void* page = ::mmap(nullptr, sizeof(std::atomic<int>), PROT_READ | PROT_WRITE,
                        MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (page == MAP_FAILED) throw_os_error(errno, "cannot map the workers' stop flag");
    flag_ = new (page) std::atomic<int>(0);
  }
  ~StopPage() { ::munmap(flag_, sizeof(std::atomic<int>)); }
  StopPage(const StopPage&) = delete;
  StopPage& operator=(const StopPage&) = delete;

  std::atomic<int>& flag() const { return *flag_; }

 private:
  std::atomic<int>* flag_;
};

int reap(pid_t pid) noexcept {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  untrack_worker(pid);
  return status;
}

// Persistent worker processes, at most `limit` taking items at once.
class Workers {
 public:
  Workers(std::size_t limit, const Work& work, const IsolationOptions& options)
      : limit_(limit), work_(work), options_(options) {}
  Workers(const Workers&) = delete;
  Workers& operator=(const Workers&) = delete;
  ~Workers() { kill_all(); }

  // Hands out items left by lost workers first, then items from `next` on, while a worker (an idle
  // one first, a new one while fewer than the limit take items) has room for one.
  void fill(std::size_t& next, std::size_t count) {
    for (;;) {
      const bool orphan = !orphans_.empty();
      if (!orphan && next >= count) return;
      const std::size_t item = orphan ? *orphans_.begin() : next;
      if (!give(item)) return;
      if (orphan) {
        orphans_.erase(orphans_.begin());
      } else {
        ++next;
      }
    }
  }

  // Waits until an item is done, by a reply or by the end of its worker; nullopt when a stop was
  // requested meanwhile (or may have been: a signal, or a while without replies).
  std::optional<Finished> wait() {
    for (;;) {
      if (std::optional<Finished> done = take_ready()) return done;
      if (stop_requested() || workers_.empty()) return std::nullopt;
      poll_workers(kStopPollMs);
      // A progress bar in a log says that work is in flight even when no item ends for a while.
      if (options_.while_waiting && Clock::now() - last_call_ >= options_.wait_interval) {
        options_.while_waiting();
        last_call_ = Clock::now();
      }
    }
  }

  // Tells every worker to start no further item; those items stay unstarted and unreported.
  void stop() noexcept { stop_.flag().store(1); }
  bool stopping() const noexcept { return stop_.flag().load() != 0; }

  // After stop(): the next outcome of an item that was in flight, nullopt once there is none.
  std::optional<Finished> drain() {
    while (busy()) {
      if (std::optional<Finished> done = take_ready()) return done;
      poll_workers(-1);
    }
    return std::nullopt;
  }

  // Lets every worker leave through its own end of input, then reaps it.
  void finish() noexcept {
    for (Worker& w : workers_) ::close(w.socket);
    for (Worker& w : workers_) reap(w.pid);
    workers_.clear();
  }

  void kill_all() noexcept {
    for (Worker& w : workers_) {
      ::kill(w.pid, SIGKILL);
      ::close(w.socket);
      reap(w.pid);
    }
    workers_.clear();
  }

 private:
  std::optional<Finished> take_ready() {
    if (ready_.empty()) return std::nullopt;
    Finished done = std::move(ready_.front());
    ready_.pop_front();
    return done;
  }

  // Whether an item handed out may still have an outcome to come.
  bool busy() const noexcept {
    if (!ready_.empty()) return true;
    for (const Worker& w : workers_) {
      if (!w.items.empty()) return true;
    }
    return false;
  }

  // Reads what one worker sent, once one has within `timeout_ms` (-1: however long it takes).
  void poll_workers(int timeout_ms) {
    std::vector<pollfd> fds;
    for (const Worker& w : workers_) fds.push_back(pollfd{w.socket, POLLIN, 0});
    const int ready = ::poll(fds.data(), fds.size(), timeout_ms);
    if (ready < 0 && errno != EINTR) throw_os_error(errno, "cannot wait for worker processes");
    for (std::size_t i = 0; ready > 0 && i < fds.size(); ++i) {
      if (fds[i].revents == 0) continue;
      receive(i);
      return;  // a worker may have gone; poll again over those left
    }
  }

  bool give(std::size_t item) {
    for (;;) {
      const std::optional<std::size_t> i = find_room();
      if (!i) return false;
      Worker& w = workers_[*i];
      const auto index = static_cast<std::uint64_t>(item);
      if (write_all(w.socket, reinterpret_cast<const char*>(&index), sizeof index)) {
        w.items.push_back(item);
        ++w.sent;
        return true;
      }
      // It ended (a crash, or killed from outside) before this item reached it.
      lose(*i);
    }
  }

  // The worker to take one more item: an idle one, else a new one while fewer than the limit are
  // taking items, else the least loaded one with room.
  std::optional<std::size_t> find_room() {
    std::size_t taking = 0;
    std::optional<std::size_t> roomiest;
    for (std::size_t i = 0; i < workers_.size(); ++i) {
      const Worker& w = workers_[i];
      if (w.retiring) continue;
      if (w.items.empty()) return i;
      ++taking;
      if (w.items.size() < kItemsInFlight && w.sent < kItemsPerWorker &&
          (!roomiest || w.items.size() < workers_[*roomiest].items.size())) {
        roomiest = i;
      }
    }
    if (taking < limit()) {
      workers_.push_back(start());
      return workers_.size() - 1;
    }
    return roomiest;
  }

  Worker start() {
    // Output buffered before the fork would otherwise be written twice.
    std::cout.flush();
    std::cerr.flush();
    std::fflush(nullptr);
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) {
      throw_os_error(errno, "cannot create a socket pair");
    }
    const pid_t caller = ::getpid();
    // The stop signals wait until the worker is tracked: a second one kills every worker, and one
    // forked but not yet known would outlive it.
    sigset_t stop_signals, before_fork;
    sigemptyset(&stop_signals);
    for (int signo : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&stop_signals, signo);
    ::sigprocmask(SIG_BLOCK, &stop_signals, &before_fork);
    pid_t pid = ::fork();
    if (pid == 0) {
      detach_from_stop_signals(caller, before_fork);
      ::close(fds[0]);
      // Another worker's end of file must not wait for this one to let go of its socket.
      for (const Worker& w : workers_) ::close(w.socket);
      serve(fds[1], work_, options_, stop_.flag());
    }
    const int fork_errno = errno;
    if (pid > 0) track_worker(pid);
    ::sigprocmask(SIG_SETMASK, &before_fork, nullptr);
    ::close(fds[1]);
    if (pid < 0) {
      ::close(fds[0]);
      throw_os_error(fork_errno, "cannot start a worker process");
    }
    Worker worker;
    worker.pid = pid;
    worker.socket = fds[0];
    return worker;
  }

  std::size_t limit() const {
    const bool more =
        options_.more_jobs > 0 && options_.more_jobs_wanted && options_.more_jobs_wanted();
    return limit_ + (more ? static_cast<std::size_t>(options_.more_jobs) : 0);
  }

  // Reads what worker `i` sent, queueing the outcome of each whole reply; at its end of file, the
  // worker is gone.
  void receive(std::size_t i) {
    Worker& w = workers_[i];
    char buffer[65536];
    ssize_t n = ::read(w.socket, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) return;
    if (n > 0) {
      w.received.append(buffer, static_cast<std::size_t>(n));
      take_replies(w);
      return;
    }
    lose(i);
  }

  void take_replies(Worker& w) {
    std::size_t at = 0;
    while (w.received.size() - at >= kHeaderSize) {
      const char* frame = w.received.data() + at;
      std::uint64_t index = 0, length = 0;
      std::memcpy(&index, frame, 8);
      std::memcpy(&length, frame + 10, 8);
      if (w.received.size() - at - kHeaderSize < length) break;
      IsolatedOutcome outcome;
      if (frame[8] != 0) {
        outcome.exit_status = kWorkRaised;
        outcome.raised = true;
      } else {
        outcome.completed = true;
        outcome.reply.assign(frame + kHeaderSize, length);
      }
      std::erase(w.items, static_cast<std::size_t>(index));
      ready_.push_back(Finished{static_cast<std::size_t>(index), std::move(outcome)});
      at += kHeaderSize + length;
      if (frame[9] != 0) retire(w);
    }
    w.received.erase(0, at);
  }

  // The worker answers nothing after this reply: what it was still sent goes to another.
  void retire(Worker& w) {
    w.retiring = true;
    orphans_.insert(w.items.begin(), w.items.end());
    w.items.clear();
  }

  // Worker `i` ended: after whatever replies it still sent, its first unanswered item is the one it
  // ended on (its outcome names the signal or status) and those behind it never started.
  void lose(std::size_t i) {
    Worker& w = workers_[i];
    char buffer[65536];
    for (ssize_t n; (n = ::read(w.socket, buffer, sizeof buffer)) != 0;) {
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) break;
      w.received.append(buffer, static_cast<std::size_t>(n));
      take_replies(w);
    }
    std::deque<std::size_t> items = std::move(w.items);
    const int status = drop(i);
    // A worker that stopped before its next item started none of those it held.
    if (items.empty() ||
        (stopping() && WIFEXITED(status) && WEXITSTATUS(status) == kWorkerStopped)) {
      return;
    }
    ready_.push_back(Finished{items.front(), outcome_of_exit(status)});
    orphans_.insert(items.begin() + 1, items.end());
  }

  // Closes and reaps worker `i`; its wait status.
  int drop(std::size_t i) noexcept {
    ::close(workers_[i].socket);
    const int status = reap(workers_[i].pid);
    workers_.erase(workers_.begin() + static_cast<std::ptrdiff_t>(i));
    return status;
  }

  std::size_t limit_;
  const Work& work_;
  IsolationOptions options_;
  using Clock = std::chrono::steady_clock;
  // When `options_.while_waiting` was last called, or the wait began.
  Clock::time_point last_call_ = Clock::now();
  std::vector<Worker> workers_;
  std::deque<Finished> ready_;     // outcomes read and not yet returned by wait()
  std::set<std::size_t> orphans_;  // items sent to a worker that will never answer them
  StopPage stop_;
};

}  // namespace

std::string IsolatedOutcome::describe() const {
  if (signal != 0) return fmt::format("killed by signal {} ({})", signal, ::strsignal(signal));
  if (!completed) return fmt::format("exited with status {}", exit_status);
  return "completed";
}

void run_isolated(std::size_t count, const Work& work,
                  const std::function<bool(std::size_t, IsolatedOutcome&&)>& on_done,
                  const IsolationOptions& options) {
  Workers workers(options.jobs < 1 ? 1 : static_cast<std::size_t>(options.jobs), work, options);
  std::map<std::size_t, IsolatedOutcome> finished;  // done but not yet handed over
  std::size_t next = 0, delivered = 0;
  // Hands `done` over, in index order when asked; false when on_done ends the run.
  const auto hand_over = [&](Finished&& done) {
    if (!options.in_order) {
      ++delivered;
      return on_done(done.item, std::move(done.outcome));
    }
    finished.emplace(done.item, std::move(done.outcome));
    for (auto it = finished.find(delivered); it != finished.end(); it = finished.find(delivered)) {
      IsolatedOutcome outcome = std::move(it->second);
      finished.erase(it);
      if (!on_done(delivered++, std::move(outcome))) return false;
    }
    return true;
  };
  while (delivered < count && !stop_requested()) {
    workers.fill(next, options.window == 0 ? count : std::min(count, delivered + options.window));
    std::optional<Finished> done = workers.wait();
    if (done && !hand_over(std::move(*done))) return;  // the destructor kills the rest
  }
  if (delivered < count) {
    // Stopped: the items in flight end as they would have, the rest never start.
    workers.stop();
    while (std::optional<Finished> done = workers.drain()) {
      if (!hand_over(std::move(*done))) return;
    }
  }
  workers.finish();
}

}  // namespace tessera_plus
