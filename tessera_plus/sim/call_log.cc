#include "tessera_plus/sim/call_log.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

#include <fmt/format.h>

#include "tessera_plus/base/errors.h"

namespace tessera_plus::tallow::sim {

CallLog::CallLog(const std::string& path) : path_(path) {
  if (path.empty()) return;
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) throw_os_error(errno, "cannot open the call log " + path);
  file_ = std::make_shared<FileDescriptor>(fd);
}

void CallLog::note(std::string_view operation) const {
  if (!file_) return;
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  const std::string line = fmt::format(
      "{} {} {}\n", std::int64_t(now.tv_sec) * 1'000'000'000 + now.tv_nsec, ::getpid(), operation);
  const ssize_t written = ::write(file_->get(), line.data(), line.size());
  if (written != ssize_t(line.size())) {
    throw_os_error(written < 0 ? errno : EIO, "cannot write the call log " + path_);
  }
}

}  // namespace tessera_plus::tallow::sim
