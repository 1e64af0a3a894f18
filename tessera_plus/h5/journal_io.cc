#include "tessera_plus/h5/journal_io.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <system_error>
#include <thread>
#include <vector>

namespace tessera_plus::h5 {

int JournalIo::injected(FaultPlan::Call kind, int seen_of_kind) {
  if (!plan_ || plan_->nth <= 0) return 0;
  bool matches = plan_->call == FaultPlan::Call::kAny || plan_->call == kind;
  if (!matches) return 0;
  int seen = plan_->call == FaultPlan::Call::kAny ? counts_.total() : seen_of_kind;
  bool hit = plan_->sticky ? seen >= plan_->nth : seen == plan_->nth;
  if (!hit) return 0;
  if (plan_->crash) ::_exit(kFaultCrashStatus);
  return plan_->error_number;
}

int JournalIo::pwrite_all(int fd, const void* data, std::size_t size, off_t offset) {
  ++counts_.writes;
  if (int e = injected(FaultPlan::Call::kWrite, counts_.writes)) return e;
  const char* p = static_cast<const char*>(data);
  for (std::size_t done = 0; done < size;) {
    ssize_t n = ::pwrite(fd, p + done, size - done, offset + static_cast<off_t>(done));
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    done += static_cast<std::size_t>(n);
  }
  if (recorder_) recorder_->wrote(fd, data, size, offset);
  return 0;
}

int JournalIo::fsync(int fd) {
  ++counts_.fsyncs;
  if (int e = injected(FaultPlan::Call::kFsync, counts_.fsyncs)) return e;
  if (::fsync(fd) != 0) return errno;
  if (recorder_) recorder_->synced(fd);
  return 0;
}

int JournalIo::fdatasync(int fd) {
  ++counts_.fsyncs;
  if (int e = injected(FaultPlan::Call::kFsync, counts_.fsyncs)) return e;
  if (::fdatasync(fd) != 0) return errno;
  if (recorder_) recorder_->synced(fd);
  return 0;
}

int JournalIo::fsync_directory_of(const std::string& path) {
  std::filesystem::path dir = std::filesystem::path(path).parent_path();
  int fd = ::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return errno;
  int result = fsync(fd);
  ::close(fd);
  return result;
}

int JournalIo::sync_together(std::span<const int> files, const std::string& directory_of) {
  if (plan_) {
    for (int fd : files) {
      if (int e = fdatasync(fd)) return e;
    }
    return directory_of.empty() ? 0 : fsync_directory_of(directory_of);
  }
  counts_.fsyncs += static_cast<int>(files.size());  // the directory's counts itself
  std::vector<int> errors(files.size(), 0);
  std::vector<std::thread> threads;
  try {
    for (std::size_t i = 0; i < files.size(); ++i) {
      threads.emplace_back(
          [&errors, &files, i] { errors[i] = ::fdatasync(files[i]) == 0 ? 0 : errno; });
    }
  } catch (const std::system_error&) {
    // No thread to spare: the rest waits its turn on this one.
    for (std::size_t i = threads.size(); i < files.size(); ++i) {
      errors[i] = ::fdatasync(files[i]) == 0 ? 0 : errno;
    }
  }
  int directory_error = directory_of.empty() ? 0 : fsync_directory_of(directory_of);
  for (std::thread& t : threads) t.join();
  for (int e : errors) {
    if (e) return e;
  }
  return directory_error;
}

int JournalIo::ftruncate(int fd, off_t size) {
  ++counts_.truncates;
  if (int e = injected(FaultPlan::Call::kTruncate, counts_.truncates)) return e;
  if (::ftruncate(fd, size) != 0) return errno;
  if (recorder_) recorder_->truncated(fd, size);
  return 0;
}

int JournalIo::unlink(const std::string& path) {
  ++counts_.unlinks;
  if (int e = injected(FaultPlan::Call::kAny, counts_.total())) return e;
  if (::unlink(path.c_str()) != 0) return errno;
  if (recorder_) recorder_->unlinked(path);
  return 0;
}

int JournalIo::rename(const std::string& from, const std::string& to) {
  ++counts_.renames;
  if (int e = injected(FaultPlan::Call::kAny, counts_.total())) return e;
  if (::rename(from.c_str(), to.c_str()) != 0) return errno;
  if (recorder_) recorder_->renamed(from, to);
  return 0;
}

ssize_t pread_full(int fd, void* data, std::size_t size, off_t offset) {
  char* p = static_cast<char*>(data);
  std::size_t done = 0;
  while (done < size) {
    ssize_t n = ::pread(fd, p + done, size - done, offset + static_cast<off_t>(done));
    if (n < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (n == 0) break;
    done += static_cast<std::size_t>(n);
  }
  return static_cast<ssize_t>(done);
}

}  // namespace tessera_plus::h5
