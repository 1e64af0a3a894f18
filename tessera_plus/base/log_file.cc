#include "tessera_plus/base/log_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>

namespace tessera_plus {

namespace fs = std::filesystem;

bool write_whole(int fd, std::string_view text) {
  while (!text.empty()) {
    ssize_t n = ::write(fd, text.data(), text.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    text.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

void append_line_sink::sink_it_(const spdlog::details::log_msg& msg) {
  spdlog::memory_buf_t line;
  formatter_->format(msg, line);
  const std::string_view text(line.data(), line.size());
  if (path_.empty()) {
    write_whole(fd_, text);
    return;
  }
  std::error_code ec;
  fs::create_directories(fs::path(path_).parent_path(), ec);
  int fd = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return;
  write_whole(fd, text);
  ::close(fd);
}

namespace {

// Whether `fd` still is the file at `path` (another run may have rotated it away).
bool still_at(int fd, const std::string& path) {
  struct stat open_file {
  }, named{};
  return ::fstat(fd, &open_file) == 0 && ::stat(path.c_str(), &named) == 0 &&
         open_file.st_dev == named.st_dev && open_file.st_ino == named.st_ino;
}

}  // namespace

void rotate_log_file(const std::string& path, std::uintmax_t max_bytes, int keep) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  struct stat st {};
  if (::flock(fd, LOCK_EX) == 0 && still_at(fd, path) && ::fstat(fd, &st) == 0 &&
      static_cast<std::uintmax_t>(st.st_size) > max_bytes) {
    const auto numbered = [&](int n) { return path + "." + std::to_string(n); };
    std::remove(numbered(keep).c_str());
    for (int n = keep - 1; n >= 1; --n) std::rename(numbered(n).c_str(), numbered(n + 1).c_str());
    if (keep >= 1) {
      std::rename(path.c_str(), numbered(1).c_str());
    } else {
      std::remove(path.c_str());
    }
  }
  ::close(fd);  // releases the lock
}

}  // namespace tessera_plus
