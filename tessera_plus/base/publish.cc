#include "tessera_plus/base/publish.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <system_error>

#include "tessera_plus/base/errors.h"
#include "tessera_plus/base/io_recorder.h"

namespace tessera_plus {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kTempMarker = ".tmp-";

bool is_temp_name(const std::string& name) {
  return name.starts_with('.') && name.find(kTempMarker) != std::string::npos;
}

bool abandoned(const fs::path& temp) {
  int fd = ::open(temp.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW);
  if (fd < 0) return false;
  bool free = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
  ::close(fd);
  return free;
}

}  // namespace

PendingFile::PendingFile(fs::path final_path, IoRecorder* recorder)
    : final_(std::move(final_path)),
      temp_((final_.parent_path() / ("." + final_.filename().string() + std::string(kTempMarker) +
                                     std::to_string(::getpid())))
                .string()),
      recorder_(recorder) {}

PendingFile::~PendingFile() {
  if (!published_ && ::unlink(temp_.c_str()) == 0 && recorder_) recorder_->unlinked(temp_);
}

void PendingFile::publish() {
  sync_path(temp_, recorder_);
  if (::rename(temp_.c_str(), final_.c_str()) != 0) {
    throw_os_error(errno, "cannot move " + temp_ + " to " + final_.string());
  }
  if (recorder_) recorder_->renamed(temp_, final_.string());
  published_ = true;
  // Without this the rename itself may not survive a power loss, though the data would.
  sync_path(final_.has_parent_path() ? final_.parent_path() : fs::path("."), recorder_);
}

void publish_file(const fs::path& path, const std::function<void(const std::string&)>& build) {
  publish_file(path, nullptr, build);
}

void publish_file(const fs::path& path, IoRecorder* recorder,
                  const std::function<void(const std::string&)>& build) {
  PendingFile pending(path, recorder);
  build(pending.temp_path());
  pending.publish();
}

void write_file_atomically(const fs::path& path, const std::string& bytes, IoRecorder* recorder) {
  publish_file(path, recorder, [&](const std::string& temp) {
    int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) throw_os_error(errno, "cannot create " + temp);
    // Held while writing, like HDF5's own lock, so that a clean-up never takes a live write for
    // an abandoned one.
    ::flock(fd, LOCK_EX);
    std::size_t done = 0;
    while (done < bytes.size()) {
      ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
      if (n < 0) {
        int saved = errno;
        ::close(fd);
        throw_os_error(saved, "cannot write " + temp);
      }
      auto written = static_cast<std::size_t>(n);
      if (recorder) recorder->wrote(fd, bytes.data() + done, written, static_cast<off_t>(done));
      done += written;
    }
    if (::close(fd) != 0) throw_os_error(errno, "cannot write " + temp);
  });
}

void remove_abandoned_builds(const fs::path& dir) {
  std::error_code ec;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    if (!is_temp_name(it->path().filename().string()) || !abandoned(it->path())) continue;
    if (::unlink(it->path().c_str()) != 0 && errno != ENOENT) {
      throw_os_error(errno, "cannot remove the abandoned build " + it->path().string());
    }
  }
  if (ec && ec != std::errc::no_such_file_or_directory) {
    throw_os_error(ec.value(), "cannot list " + dir.string());
  }
}

void sync_path(const fs::path& path, IoRecorder* recorder) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw_os_error(errno, "cannot open " + path.string());
  int status = ::fsync(fd);
  int saved = errno;
  if (status == 0 && recorder) recorder->synced(fd);
  ::close(fd);
  if (status != 0) throw_os_error(saved, "cannot sync " + path.string());
}

}  // namespace tessera_plus
