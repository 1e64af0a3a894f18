#include "tessera_plus/base/isolated_runner.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <map>
#include <optional>
#include <vector>

#include <fmt/format.h>

#include "tessera_plus/base/errors.h"

namespace tessera_plus {
namespace {

constexpr int kWorkRaised = 70;

struct Child {
  pid_t pid;
  int pipe;  // read end of the reply pipe; -1 once it reached end of file
  std::string reply;
};

bool write_all(int fd, const std::string& data) noexcept {
  std::size_t done = 0;
  while (done < data.size()) {
    ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

[[noreturn]] void run_child(int fd, std::size_t item,
                            const std::function<std::string(std::size_t)>& work) noexcept {
  rlimit cpu{kIsolatedCpuSeconds, kIsolatedCpuSeconds + 5};
  ::setrlimit(RLIMIT_CPU, &cpu);
  int status = 0;
  try {
    if (!write_all(fd, work(item))) status = kWorkRaised;
  } catch (...) {
    status = kWorkRaised;
  }
  std::fflush(nullptr);
  ::_exit(status);
}

Child start(std::size_t item, const std::function<std::string(std::size_t)>& work) {
  // Output buffered before the fork would otherwise be written twice.
  std::cout.flush();
  std::cerr.flush();
  std::fflush(nullptr);
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) throw_os_error(errno, "cannot create a pipe");
  pid_t pid = ::fork();
  if (pid == 0) {
    ::close(fds[0]);
    run_child(fds[1], item, work);
  }
  const int fork_errno = errno;
  ::close(fds[1]);
  if (pid < 0) {
    ::close(fds[0]);
    throw_os_error(fork_errno, "cannot start a worker process");
  }
  return Child{pid, fds[0], {}};
}

IsolatedOutcome reap(Child& child) {
  int status = 0;
  while (::waitpid(child.pid, &status, 0) < 0 && errno == EINTR) {
  }
  IsolatedOutcome outcome;
  if (WIFSIGNALED(status)) {
    outcome.signal = WTERMSIG(status);
  } else if (WEXITSTATUS(status) != 0) {
    outcome.exit_status = WEXITSTATUS(status);
  } else {
    outcome.completed = true;
    outcome.reply = std::move(child.reply);
  }
  return outcome;
}

// Reads from every child's pipe until at least one reaches end of file; returns its position.
std::size_t wait_for_one(std::vector<Child>& running) {
  std::vector<pollfd> fds;
  for (const Child& c : running) fds.push_back(pollfd{c.pipe, POLLIN, 0});
  for (;;) {
    if (::poll(fds.data(), fds.size(), -1) < 0) {
      if (errno == EINTR) continue;
      throw_os_error(errno, "cannot wait for worker processes");
    }
    for (std::size_t i = 0; i < fds.size(); ++i) {
      if (fds[i].revents == 0) continue;
      char buffer[4096];
      ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n > 0) {
        running[i].reply.append(buffer, static_cast<std::size_t>(n));
        continue;
      }
      ::close(running[i].pipe);
      running[i].pipe = -1;
      return i;
    }
  }
}

void kill_all(std::vector<Child>& running) noexcept {
  for (Child& c : running) {
    ::kill(c.pid, SIGKILL);
    ::close(c.pipe);
    while (::waitpid(c.pid, nullptr, 0) < 0 && errno == EINTR) {
    }
  }
  running.clear();
}

}  // namespace

std::string IsolatedOutcome::describe() const {
  if (signal != 0) return fmt::format("killed by signal {} ({})", signal, ::strsignal(signal));
  if (!completed) return fmt::format("exited with status {}", exit_status);
  return "completed";
}

void run_isolated(std::size_t count, int jobs, const std::function<std::string(std::size_t)>& work,
                  const std::function<bool(std::size_t, IsolatedOutcome&&)>& on_done) {
  const std::size_t limit = jobs < 1 ? 1 : static_cast<std::size_t>(jobs);
  std::vector<Child> running;
  std::vector<std::size_t> running_items;
  std::map<std::size_t, IsolatedOutcome> finished;  // done but not yet handed over
  std::size_t next = 0, delivered = 0;
  try {
    while (delivered < count) {
      while (running.size() < limit && next < count) {
        running.push_back(start(next, work));
        running_items.push_back(next++);
      }
      const std::size_t at = wait_for_one(running);
      finished.emplace(running_items[at], reap(running[at]));
      running.erase(running.begin() + static_cast<std::ptrdiff_t>(at));
      running_items.erase(running_items.begin() + static_cast<std::ptrdiff_t>(at));
      for (auto it = finished.find(delivered); it != finished.end();
           it = finished.find(delivered)) {
        IsolatedOutcome outcome = std::move(it->second);
        finished.erase(it);
        if (!on_done(delivered++, std::move(outcome))) {
          kill_all(running);
          return;
        }
      }
    }
  } catch (...) {
    kill_all(running);
    throw;
  }
}

}  // namespace tessera_plus
