#include "tessera_plus/bundle/base_data/atomic_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>

#include "tessera_plus/bundle/store/building_file.h"
#include "tessera_plus/base/errors.h"

namespace tessera_plus::tessera {
namespace {

// A leading dot and a suffix other than the real one keep scans from mistaking it for data; the
// same naming as instrument files being built, so one clean-up serves both.
std::string temp_name_for(const std::string& path) {
  std::filesystem::path p(path);
  return bundle::building_name(p.parent_path(), p.filename().string()).string();
}

void sync_file(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw_os_error(errno, "cannot open " + path);
  int status = ::fsync(fd);
  int saved = errno;
  ::close(fd);
  if (status != 0) throw_os_error(saved, "cannot sync " + path);
}

}  // namespace

void replace_file_atomically(const std::string& path,
                             const std::function<void(const std::string&)>& build) {
  std::filesystem::path p(path);
  bundle::remove_abandoned_builds(p.parent_path(), p.filename().string());
  std::string temp = temp_name_for(path);
  try {
    build(temp);
    sync_file(temp);
    if (::rename(temp.c_str(), path.c_str()) != 0) throw_os_error(errno, "cannot rename " + temp);
  } catch (...) {
    ::unlink(temp.c_str());
    throw;
  }
}

void write_file_atomically(const std::string& path, const std::string& bytes) {
  replace_file_atomically(path, [&](const std::string& temp) {
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
      done += static_cast<std::size_t>(n);
    }
    if (::close(fd) != 0) throw_os_error(errno, "cannot write " + temp);
  });
}

}  // namespace tessera_plus::tessera
