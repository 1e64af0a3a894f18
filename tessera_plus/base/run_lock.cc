#include "tessera_plus/base/run_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <fstream>
#include <iterator>
#include <thread>

#include <fmt/format.h>

#include "tessera_plus/base/errors.h"
#include "tessera_plus/base/interrupted.h"

namespace tessera_plus {
namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;
using std::chrono::steady_clock;

constexpr std::size_t kMaxCommandLine = 400;

// This process's command line, arguments joined by spaces, on one line and of bounded length.
std::string command_line() {
  std::ifstream in("/proc/self/cmdline", std::ios::binary);
  std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  while (!text.empty() && text.back() == '\0') text.pop_back();
  std::replace_if(
      text.begin(), text.end(), [](char c) { return c == '\0' || c == '\n'; }, ' ');
  if (text.size() > kMaxCommandLine) text = text.substr(0, kMaxCommandLine) + "...";
  return text.empty() ? "?" : text;
}

std::string local_time_now() {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
  return text;
}

// The holder's line is information for the one that waits, not part of the lock: a file this user
// may only read, or a full disk, still locks; it just names no holder.
void write_holder(int fd) {
  const std::string line =
      fmt::format("进程 {}，开始于 {}，命令 {}\n", ::getpid(), local_time_now(), command_line());
  if (::pwrite(fd, line.data(), line.size(), 0) == static_cast<ssize_t>(line.size())) {
    [[maybe_unused]] int ignored = ::ftruncate(fd, static_cast<off_t>(line.size()));
  }
}

// The holder's line as the file at `fd` holds it: readable through the descriptor even once the
// holder has ended and removed the file.
std::string read_holder(int fd) {
  char text[1024];
  const ssize_t n = ::pread(fd, text, sizeof text, 0);
  std::string line(text, n > 0 ? static_cast<std::size_t>(n) : 0);
  line = line.substr(0, line.find('\n'));
  return line.empty() ? "进程未知" : line;
}

// A new lock file appears in place already locked by its creator and naming it (it is built under
// a name of this thread and linked into place), so that no run ever finds it free or empty while
// its creator starts. -1 with errno set when it cannot be made; EEXIST when there is one already.
int create_taken(const fs::path& path) {
  // Named after the thread, so that two threads of one process never share one.
  const std::string temp = path.string() + "." + std::to_string(::gettid());
  const int fd = ::open(temp.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0666);
  if (fd < 0) return -1;
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {  // free unless someone is at odds with our naming
    ::close(fd);
    errno = EEXIST;
    return -1;
  }
  write_holder(fd);
  const int linked = ::link(temp.c_str(), path.c_str());
  const int saved = errno;
  ::unlink(temp.c_str());
  if (linked == 0) return fd;
  ::close(fd);
  errno = saved;
  return -1;
}

// The lock file at `path`, created plainly with `create` (where it cannot be linked into place).
int open_lock_file(const fs::path& path, bool create) {
  int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW | (create ? O_CREAT : 0), 0666);
  // Another user's lock file that this one may only read still serves to lock.
  if (fd < 0 && errno == EACCES) fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  return fd;
}

// Whether `fd` is still the file at `path`: a lock taken on a file that was removed or replaced
// meanwhile would guard nothing that the next run sees.
bool still_at(int fd, const fs::path& path) {
  struct stat held {
  }, named{};
  return ::fstat(fd, &held) == 0 && ::stat(path.c_str(), &named) == 0 &&
         held.st_dev == named.st_dev && held.st_ino == named.st_ino;
}

enum class Attempt { kTaken, kBusy, kMoved };

Attempt try_lock(int fd, const fs::path& path) {
  while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno == EWOULDBLOCK) return Attempt::kBusy;
    if (errno != EINTR) throw_os_error(errno, "cannot lock " + path.string());
  }
  return still_at(fd, path) ? Attempt::kTaken : Attempt::kMoved;
}

}  // namespace

std::optional<RunLock> RunLock::acquire(const fs::path& path, milliseconds wait,
                                        const std::function<void(const std::string&)>& on_wait,
                                        std::string* holder) {
  const steady_clock::time_point deadline = steady_clock::now() + wait;
  bool told = false;
  while (true) {
    if (const int fd = create_taken(path); fd >= 0) return RunLock(fd, path);
    // A missing directory is the caller's to handle. A directory this user may not write, or a
    // file system without hard links, still lets it lock a lock file that is there or that it
    // creates plainly.
    const int create_error = errno;
    if (create_error == ENOENT)
      throw_os_error(ENOENT, "cannot create the lock file " + path.string());
    const int fd = open_lock_file(path, create_error != EEXIST);
    if (fd < 0 && errno == ENOENT) continue;  // its holder just ended and removed it
    if (fd < 0) throw_os_error(errno, "cannot open the lock file " + path.string());
    RunLock lock(fd);
    Attempt attempt;
    while ((attempt = try_lock(lock.fd_, path)) == Attempt::kBusy) {
      const auto left = deadline - steady_clock::now();
      if (left <= steady_clock::duration::zero()) {
        if (holder) *holder = read_holder(lock.fd_);
        return std::nullopt;
      }
      if (!told && on_wait) on_wait(read_holder(lock.fd_));
      told = true;
      // A run stopped while it waits for another has done nothing yet.
      throw_if_stopped();
      // Polled: an flock cannot be waited for with a time limit.
      std::this_thread::sleep_for(std::min<steady_clock::duration>(left, milliseconds(100)));
    }
    if (attempt == Attempt::kTaken) {
      // A file left by a holder that was killed: it names that one until now.
      write_holder(lock.fd_);
      lock.fd_ = -1;
      return RunLock(fd, path);
    }
  }
}

RunLock::RunLock(int fd, fs::path path) : fd_(fd), path_(std::move(path)), owner_(::getpid()) {}

std::string RunLock::holder(const fs::path& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return "进程未知";
  std::string line = read_holder(fd);
  ::close(fd);
  return line;
}

RunLock::~RunLock() {
  if (fd_ < 0) return;
  // Removed while still held, so that nothing is left between runs; a run that waits on this file
  // finds it gone once it gets the lock and opens the path again. A forked child that ends leaves
  // the file to the process that took the lock.
  if (!path_.empty() && owner_ == ::getpid() && still_at(fd_, path_)) ::unlink(path_.c_str());
  ::close(fd_);
}

}  // namespace tessera_plus
