#include "tessera_plus/base/run_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <ctime>
#include <fstream>
#include <iterator>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>
#include <utility>

#include <fmt/format.h>

#include "tessera_plus/base/errors.h"
#include "tessera_plus/base/interrupted.h"

namespace tessera_plus {
namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;
using std::chrono::steady_clock;

constexpr std::size_t kMaxCommandLine = 400;
// How long a lock is waited for beyond the caller's wait while its line names no live process: the
// workers of a killed run hold it until the kernel has torn them down, a matter of moments.
constexpr milliseconds kHolderGoneGrace(5000);
constexpr milliseconds kPoll(100);

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

constexpr char kTimeFormat[] = "%Y-%m-%d %H:%M:%S";

std::string local_time_now() {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char text[32];
  std::strftime(text, sizeof text, kTimeFormat, &local);
  return text;
}

// The holder's line is information for the one that waits, not part of the lock: built aside and
// renamed into place, so that a reader finds a whole line, this one or the last holder's. When it
// cannot be written (a full disk), the last holder's goes too, so as not to name the wrong one.
void write_holder(const fs::path& path) {
  const std::string line =
      fmt::format("进程 {}，开始于 {}，命令 {}\n", ::getpid(), local_time_now(), command_line());
  // Named after the thread, so that two threads of one process never share one.
  const std::string temp = path.string() + "." + std::to_string(::gettid());
  const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
  bool written = fd >= 0 && ::write(fd, line.data(), line.size()) == ssize_t(line.size());
  if (fd >= 0) written = ::close(fd) == 0 && written;
  if (written && ::rename(temp.c_str(), path.c_str()) == 0) return;
  ::unlink(temp.c_str());
  ::unlink(path.c_str());
}

std::string read_holder(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::string line;
  std::getline(in, line);
  return line.empty() ? "进程未知" : line;
}

// The wall-clock second at which process `pid` started, nullopt when there is no such process or
// it is a zombie (it holds nothing any more).
std::optional<std::time_t> process_start(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text{std::istreambuf_iterator<char>(stat), std::istreambuf_iterator<char>()};
  const std::size_t name_end = text.rfind(')');
  if (name_end == std::string::npos) return std::nullopt;
  std::istringstream fields(text.substr(name_end + 1));
  std::string state, field;
  fields >> state;
  for (int i = 4; i < 22; ++i) fields >> field;  // field 22: the start, in ticks after boot
  std::ifstream uptime("/proc/stat");
  std::time_t boot = 0;
  for (std::string key; uptime >> key && key != "btime";) {
  }
  uptime >> boot;
  if (state == "Z" || !fields || boot == 0) return std::nullopt;
  return boot + static_cast<std::time_t>(std::stoll(field) / ::sysconf(_SC_CLK_TCK));
}

// Whether the line names a process that is still the one that wrote it: one started after the line
// was written is another that was given the same id.
bool names_live_process(const std::string& line) {
  constexpr std::string_view kPid = "进程 ", kSince = "，开始于 ";
  if (!line.starts_with(kPid)) return false;
  pid_t pid = 0;
  const char* digits = line.data() + kPid.size();
  const auto [end, error] = std::from_chars(digits, line.data() + line.size(), pid);
  if (error != std::errc() || pid <= 0 || !std::string_view(end).starts_with(kSince)) return false;
  const std::optional<std::time_t> started = process_start(pid);
  if (!started) return false;
  std::tm written{};
  written.tm_isdst = -1;
  if (::strptime(end + kSince.size(), kTimeFormat, &written) == nullptr) return true;
  // A little slack for the rounding of both times to whole seconds.
  return *started <= std::mktime(&written) + 2;
}

// The directory, opened to be locked. Forked workers inherit it and with it the lock; programs a
// run execs do not, so that one that outlived the run could not keep the bundle locked.
int open_directory(const fs::path& dir) {
  const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) throw_os_error(errno, "cannot open " + dir.string() + " to lock it");
  return fd;
}

// Locking needs only read access, but every holder writes the directory: a user who may not is
// refused before holding up anyone, rather than failing later or naming no holder.
void require_writable(const fs::path& dir) {
  if (::faccessat(AT_FDCWD, dir.c_str(), W_OK | X_OK, AT_EACCESS) == 0) return;
  throw_os_error(errno, fmt::format("cannot take the run lock of {}: this user may not write it "
                                    "(nothing was changed)",
                                    dir.string()));
}

// Whether `fd` is still the directory at `dir`: a lock taken on one that was removed or replaced
// meanwhile would guard nothing that the next run sees.
bool still_at(int fd, const fs::path& dir) {
  struct stat held {
  }, named{};
  return ::fstat(fd, &held) == 0 && ::stat(dir.c_str(), &named) == 0 &&
         held.st_dev == named.st_dev && held.st_ino == named.st_ino;
}

// The directories whose locks this process took and holds, by device and inode.
std::mutex held_mutex;
std::set<std::pair<dev_t, ino_t>> held_dirs;

std::optional<std::pair<dev_t, ino_t>> identity(int fd) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) return std::nullopt;
  return std::pair(st.st_dev, st.st_ino);
}

enum class Attempt { kTaken, kBusy, kMoved };

Attempt try_lock(int fd, const fs::path& dir) {
  while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno == EWOULDBLOCK) return Attempt::kBusy;
    if (errno != EINTR) throw_os_error(errno, "cannot lock " + dir.string());
  }
  return still_at(fd, dir) ? Attempt::kTaken : Attempt::kMoved;
}

}  // namespace

std::optional<RunLock> RunLock::acquire(const fs::path& path, milliseconds wait,
                                        const std::function<void(const std::string&)>& on_wait,
                                        std::string* holder) {
  const fs::path dir = path.has_parent_path() ? path.parent_path() : fs::path(".");
  const steady_clock::time_point deadline = steady_clock::now() + wait;
  // While the line names no live process: the end of the wait for that process's last workers.
  constexpr steady_clock::time_point kNoGrace = steady_clock::time_point::min();
  steady_clock::time_point grace_end = kNoGrace;
  bool told = false;
  while (true) {
    RunLock lock(open_directory(dir));
    require_writable(dir);
    Attempt attempt;
    while ((attempt = try_lock(lock.fd_, dir)) == Attempt::kBusy) {
      const std::string line = read_holder(path);
      const auto now = steady_clock::now();
      if (names_live_process(line)) {
        grace_end = kNoGrace;
      } else if (grace_end == kNoGrace) {
        grace_end = now + kHolderGoneGrace;
      }
      const auto until = std::max(deadline, grace_end);
      if (now >= until) {
        if (holder) *holder = line;
        return std::nullopt;
      }
      if (!told && now < deadline) {
        told = true;
        if (on_wait) on_wait(line);
      }
      // A run stopped while it waits for another has done nothing yet.
      throw_if_stopped();
      // Polled: an flock cannot be waited for with a time limit.
      std::this_thread::sleep_for(std::min<steady_clock::duration>(until - now, kPoll));
    }
    if (attempt == Attempt::kTaken) {
      write_holder(path);
      lock.path_ = path;
      lock.owner_ = ::getpid();
      if (const auto id = identity(lock.fd_)) {
        const std::lock_guard guard(held_mutex);
        held_dirs.insert(*id);
      }
      return lock;
    }
  }
}

std::string RunLock::holder(const fs::path& path) { return read_holder(path); }

bool RunLock::held_here(const fs::path& dir) {
  struct stat st {};
  if (::stat(dir.c_str(), &st) != 0) return false;
  const std::lock_guard guard(held_mutex);
  return held_dirs.contains(std::pair(st.st_dev, st.st_ino));
}

void RunLock::remove_file() {
  // Only the taker wrote it; a forked child that ends leaves it to the taker.
  if (!path_.empty() && owner_ == ::getpid()) ::unlink(path_.c_str());
  path_.clear();
}

RunLock::~RunLock() {
  if (fd_ < 0) return;
  if (const auto id = identity(fd_); id && owner_ == ::getpid()) {
    const std::lock_guard guard(held_mutex);
    held_dirs.erase(*id);
  }
  remove_file();
  ::close(fd_);
}

}  // namespace tessera_plus
