#include "python/background_call.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <exception>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "python/hdf5_turn.h"
#include "python/output.h"
#include "tessera_plus/base/errors.h"
#include "tessera_plus/base/file_descriptor.h"
#include "tessera_plus/base/stop_request.h"

namespace tessera_plus::python {
namespace {

// How long the calling thread waits for output before it looks at Python's signals again.
constexpr int kSignalPollMs = 50;

// One released call at a time leads descriptors 1 and 2 through its pipes: two calls that each
// swapped them would put them back out of order, leaving the process writing into a closed pipe.
std::timed_mutex& console_lock() {
  static std::timed_mutex lock;
  return lock;
}

// Waits for the console with the interpreter lock released, answering Python's signals (Ctrl-C)
// as the call itself does; the calls ahead are serialised by HDF5's turn anyway.
std::unique_lock<std::timed_mutex> take_console() {
  std::unique_lock<std::timed_mutex> held(console_lock(), std::defer_lock);
  for (;;) {
    {
      py::gil_scoped_release released;
      if (held.try_lock_for(std::chrono::milliseconds(kSignalPollMs))) break;
    }
    if (PyErr_CheckSignals() != 0) throw py::error_already_set();
  }
  return held;
}

// Set on the thread that runs a released call's work: its forks are the worker pools'.
thread_local bool work_thread = false;
thread_local PyGILState_STATE fork_gil{};

void before_fork() {
  if (!work_thread) return;
  fork_gil = PyGILState_Ensure();
  PyOS_BeforeFork();
}

void after_fork_parent() {
  if (!work_thread) return;
  PyOS_AfterFork_Parent();
  PyGILState_Release(fork_gil);
}

// The worker keeps the lock: it is the only thread of its process.
void after_fork_child() {
  if (work_thread) PyOS_AfterFork_Child();
}

// The work's thread: runs `work`, keeps what it threw and wakes the caller through `wake`.
class WorkThread {
 public:
  WorkThread(const std::function<void()>& work, int wake)
      : thread_([this, &work, wake] {
          work_thread = true;
          try {
            const Hdf5Turn turn;
            work();
          } catch (...) {
            failure_ = std::current_exception();
          }
          done_.store(true);
          const char byte = 0;
          while (::write(wake, &byte, 1) < 0 && errno == EINTR) {
          }
        }) {}
  ~WorkThread() { join(); }
  WorkThread(const WorkThread&) = delete;
  WorkThread& operator=(const WorkThread&) = delete;

  bool done() const { return done_.load(); }
  void join() {
    if (thread_.joinable()) thread_.join();
  }
  std::exception_ptr failure() const { return failure_; }

 private:
  std::atomic<bool> done_{false};
  std::exception_ptr failure_;
  std::thread thread_;
};

// Waits, without the lock, until the work ends, output arrives or kSignalPollMs pass.
void wait_for_news(const ConsoleRouter& console, int wake) {
  py::gil_scoped_release released;
  const auto pipes = console.poll_set();
  pollfd fds[3] = {pipes[0], pipes[1], pollfd{wake, POLLIN, 0}};
  while (::poll(fds, 3, kSignalPollMs) < 0 && errno == EINTR) {
  }
}

}  // namespace

void prepare_forks() {
  static std::once_flag once;
  std::call_once(once, [] { ::pthread_atfork(before_fork, after_fork_parent, after_fork_child); });
}

void run_released(const std::function<void()>& work, const CallOutput& output) {
  int wake_fds[2];
  if (::pipe2(wake_fds, O_CLOEXEC) != 0) throw_os_error(errno, "cannot create a pipe");
  const FileDescriptor wake_read(wake_fds[0]), wake_write(wake_fds[1]);
  const std::unique_lock<std::timed_mutex> console_held = take_console();
  ConsoleRouter console(output);
  // The Python exception that ends the call: Ctrl-C's KeyboardInterrupt, a callback's error.
  std::optional<py::error_already_set> raised;
  std::exception_ptr thread_failure;
  {
    WorkThread thread(work, wake_write.get());
    while (!thread.done()) {
      wait_for_news(console, wake_read.get());
      if (raised) {
        // Stopping: the rest of the output still goes out, raising nothing more.
        try {
          console.forward();
        } catch (py::error_already_set&) {
        }
        continue;
      }
      try {
        console.forward();
        if (PyErr_CheckSignals() != 0) throw py::error_already_set();
      } catch (py::error_already_set& e) {
        raised.emplace(std::move(e));
        request_stop(SIGINT);
      }
    }
    py::gil_scoped_release released;
    thread.join();
    thread_failure = thread.failure();
  }
  try {
    console.finish();
  } catch (py::error_already_set& e) {
    if (!raised) raised.emplace(std::move(e));
  }
  if (raised) {
    clear_stop();
    throw std::move(*raised);
  }
  if (thread_failure) std::rethrow_exception(thread_failure);
}

}  // namespace tessera_plus::python
