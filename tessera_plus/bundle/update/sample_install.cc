#include "tessera_plus/bundle/update/sample_install.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <system_error>

#include "tessera_plus/base/errors.h"
#include "tessera_plus/base/file_descriptor.h"
#include "tessera_plus/base/publish.h"
#include "tessera_plus/base/run_lock.h"
#include "tessera_plus/bundle/update/sample_stage.h"
#include "tessera_plus/bundle/update/sample_swap.h"

namespace tessera_plus::bundle {
namespace {

namespace fs = std::filesystem;

// Held on the bundle directory for the whole install, so that two installs never share (or
// remove) one staging directory; the kernel drops it when a run is killed. That is the bundle's run
// lock: a caller that holds it already (every writing run does) has excluded the others.
class InstallLock {
 public:
  explicit InstallLock(const std::string& bundle_dir)
      : held_(RunLock::held_here(bundle_dir)),
        fd_(held_ ? -1 : ::open(bundle_dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
    if (held_) return;
    if (fd_.get() < 0) throw_os_error(errno, "opening " + bundle_dir);
    if (::flock(fd_.get(), LOCK_EX | LOCK_NB) != 0) {
      const int error_number = errno;
      raise_os_error(error_number, "another run is writing " + bundle_dir);
    }
  }

 private:
  bool held_;
  FileDescriptor fd_;
};

void remove_tree(const std::string& path) {
  std::error_code error;
  fs::remove_all(path, error);  // does not follow links; staging holds none anyway
  if (error) throw_os_error(error.value(), "removing " + path);
}

// Removes the staging directory on every way out, also when an exception is on its way.
class Staging {
 public:
  explicit Staging(std::string path) : path_(std::move(path)) {
    if (::mkdir(path_.c_str(), 0700) != 0) throw_os_error(errno, "creating " + path_);
  }
  ~Staging() {
    if (!removed_) {
      std::error_code ignored;  // an error is already on its way; this one must not replace it
      fs::remove_all(path_, ignored);
    }
  }
  Staging(const Staging&) = delete;
  Staging& operator=(const Staging&) = delete;
  const std::string& path() const { return path_; }

  // One flush for all staged files: far cheaper than one fsync per file, and syncfs reports
  // write-back errors of the whole file system since Linux 5.8.
  void sync() const {
    int fd = ::open(path_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) throw_os_error(errno, "opening " + path_);
    int status = ::syncfs(fd);
    int error_number = errno;
    ::close(fd);
    if (status != 0) throw_os_error(error_number, "syncing " + path_);
  }

  void remove() {
    removed_ = true;
    remove_tree(path_);
  }

 private:
  std::string path_;
  bool removed_ = false;
};

std::string real_directory(const std::string& dir) {
  std::error_code error;
  fs::path real = fs::canonical(dir, error);
  if (error) throw_os_error(error.value(), "resolving " + dir);
  return real.string();
}

}  // namespace

void install_sample_archive(const std::string& archive_path, const std::string& bundle_dir,
                            const SampleLimits& limits) {
  // Resolved once, so that the staging directory and every destination are reached the same way.
  std::string bundle = real_directory(bundle_dir);
  InstallLock lock(bundle);
  std::string staging_path = bundle + "/" + kSampleStagingName;
  remove_tree(staging_path);  // left by a killed run: the lock says no run owns it now
  Staging staging(staging_path);
  std::vector<StagedMember> members = stage_archive(archive_path, staging.path(), limits);
  staging.sync();
  move_staged_members(staging.path(), bundle, members, limits.free_space_margin);
  staging.remove();
  sync_path(bundle);
}

}  // namespace tessera_plus::bundle
