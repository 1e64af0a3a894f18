#include "tessera_plus/base/publish.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <optional>
#include <system_error>

#include <fmt/format.h>

#include "tessera_plus/base/errors.h"
#include "tessera_plus/base/file_descriptor.h"
#include "tessera_plus/base/io_recorder.h"

namespace tessera_plus {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kTempMarker = ".tmp-";

bool is_temp_name(const std::string& name) {
  return name.starts_with('.') && name.find(kTempMarker) != std::string::npos;
}

// Whether the process that a temporary name ends with still runs. A publisher holds its file's
// lock while it builds (HDF5 does, and so does write_file_atomically) and again from before the
// rename until after it, but not in the instant between the two; a live owner is never swept, so
// that instant is safe too. This process's own builds are judged by their lock alone: it sweeps
// only between them. A process id reused by another program keeps a leftover until that one ends.
bool owner_alive(const std::string& name) {
  const std::string_view digits =
      std::string_view(name).substr(name.rfind(kTempMarker) + kTempMarker.size());
  pid_t pid = 0;
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), pid);
  if (error != std::errc() || end != digits.data() + digits.size() || pid <= 0) return false;
  if (pid == ::getpid()) return false;
  if (::kill(pid, 0) != 0 && errno != EPERM) return false;
  // A zombie holds no file and writes nothing more: a killed run's workers stay zombies for as long
  // as nothing reaps them (a container whose first process is no init), and their builds are as
  // abandoned as those of a process that is gone.
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text{std::istreambuf_iterator<char>(stat), std::istreambuf_iterator<char>()};
  const std::size_t name_end = text.rfind(')');
  return name_end == std::string::npos || text.compare(name_end, 4, ") Z ") != 0;
}

bool abandoned(const fs::path& temp) {
  if (owner_alive(temp.filename().string())) return false;
  int fd = ::open(temp.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW);
  if (fd < 0) return false;
  bool free = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
  ::close(fd);
  return free;
}

// A file that this user could not write in place is not replaced, as opening a read-only HDF5 file
// for writing is refused, instead of being swapped by a rename that only needs the directory's
// permission. Returns the file's status, or nothing when there is no regular file to replace.
std::optional<struct stat> require_replaceable(const fs::path& final) {
  struct stat old {};
  if (::lstat(final.c_str(), &old) != 0 || !S_ISREG(old.st_mode)) return std::nullopt;
  if (::faccessat(AT_FDCWD, final.c_str(), W_OK, AT_EACCESS) != 0 && errno != ENOENT) {
    raise_os_error(errno, fmt::format("cannot replace {}: this user may not write it (mode {:04o})",
                                      final.string(), old.st_mode & 07777));
  }
  return old;
}

// A file replaced whole stays what its owner made it: its permission bits, and its owner and group
// where this process may set them (as root).
void keep_owners_mode(int temp_fd, const fs::path& final) {
  const std::optional<struct stat> found = require_replaceable(final);
  if (!found) return;
  const struct stat& old = *found;
  if (::geteuid() == 0 && ::fchown(temp_fd, old.st_uid, old.st_gid) != 0) {
    throw_os_error(errno, "cannot give the new " + final.string() + " its owner");
  }
  if (::fchmod(temp_fd, old.st_mode & 07777) != 0) {
    throw_os_error(errno, "cannot give the new " + final.string() + " its mode");
  }
}

}  // namespace

PendingFile::PendingFile(fs::path final_path, IoRecorder* recorder)
    : final_(std::move(final_path)),
      temp_((final_.parent_path() / ("." + final_.filename().string() + std::string(kTempMarker) +
                                     std::to_string(::getpid())))
                .string()),
      recorder_(recorder) {
  // Refused before the build, not after it: a rebuild fetches a whole history first.
  require_replaceable(final_);
}

PendingFile::~PendingFile() {
  if (!published_ && ::unlink(temp_.c_str()) == 0 && recorder_) recorder_->unlinked(temp_);
}

void PendingFile::publish() {
  // Locked until it has its final name, as the builder's lock ended when it closed the file.
  // Shared, so that a reader that opens the new file the moment it is in place is not turned away.
  FileDescriptor held(::open(temp_.c_str(), O_RDONLY | O_CLOEXEC));
  if (held.get() < 0 || ::flock(held.get(), LOCK_SH) != 0) {
    throw_os_error(errno, "cannot lock " + temp_);
  }
  keep_owners_mode(held.get(), final_);
  sync_path(temp_, recorder_);
  if (::rename(temp_.c_str(), final_.c_str()) != 0) {
    throw_os_error(errno, "cannot move " + temp_ + " to " + final_.string());
  }
  if (recorder_) recorder_->renamed(temp_, final_.string());
  published_ = true;
  held.close(final_.string());
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

bool holds_bytes(const fs::path& path, const std::string& bytes) {
  std::error_code ec;
  if (!fs::is_regular_file(fs::symlink_status(path, ec)) ||
      fs::file_size(path, ec) != bytes.size()) {
    return false;
  }
  std::ifstream in(path, std::ios::binary);
  std::string stored(bytes.size(), '\0');
  return in.read(stored.data(), static_cast<std::streamsize>(stored.size())) && stored == bytes;
}

void write_file_if_changed(const fs::path& path, const std::string& bytes) {
  if (!holds_bytes(path, bytes)) write_file_atomically(path, bytes);
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
