#include "tessera_plus/bundle/update/sample_stage.h"

#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <memory>
#include <string_view>
#include <unordered_map>

#include <fmt/format.h>

#include "tessera_plus/base/errors.h"
#include "tessera_plus/base/file_descriptor.h"
#include "tessera_plus/bundle/store/bundle_layout.h"

namespace tessera_plus::bundle {
namespace {

constexpr std::size_t kReadBlock = 256 * 1024;
// What a member costs on disk beyond its bytes: its inode and directory entry, and the rounding of
// its last block.
constexpr std::uint64_t kFsBlock = 4096;

struct ReaderDeleter {
  void operator()(archive* a) const { archive_read_free(a); }
};
using Reader = std::unique_ptr<archive, ReaderDeleter>;

[[noreturn]] void fail(archive* a, const std::string& what) {
  const char* reason = archive_error_string(a);
  int error_number = archive_errno(a);
  raise_os_error(error_number > 0 ? error_number : 0,
                 fmt::format("{}: {}", what, reason ? reason : "unknown libarchive error"));
}

[[noreturn]] void refuse(std::string_view member, std::string_view why) {
  throw ValueError(fmt::format("refusing archive member \"{}\": {}", member, why));
}

Reader open_reader(const std::string& archive_path) {
  Reader reader(archive_read_new());
  if (!reader) throw OSError(ENOMEM, "libarchive: cannot create a reader");
  archive_read_support_filter_bzip2(reader.get());
  archive_read_support_format_tar(reader.get());
  if (archive_read_open_filename(reader.get(), archive_path.c_str(), kReadBlock) != ARCHIVE_OK) {
    fail(reader.get(), "opening " + archive_path);
  }
  return reader;
}

// The member's name as a clean relative path; "" for the bundle directory itself ("./").
std::string normalized_name(std::string_view name, const SampleLimits& limits) {
  if (name.size() > limits.max_path_length) {
    throw ValueError(fmt::format("refusing archive member \"{}...\": name longer than {} bytes",
                                 name.substr(0, 60), limits.max_path_length));
  }
  if (name.empty()) refuse(name, "no name");
  if (name.starts_with('/')) refuse(name, "absolute path");
  std::string clean;
  for (std::string_view rest = name; !rest.empty();) {
    std::size_t slash = rest.find('/');
    std::string_view part = rest.substr(0, slash);
    rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
    if (part.empty() || part == ".") continue;
    if (part == "..") refuse(name, "contains \"..\"");
    if (part.size() > NAME_MAX) refuse(name, fmt::format("a name part longer than {}", NAME_MAX));
    if (!clean.empty()) clean += '/';
    clean += part;
  }
  if (clean == kSampleStagingName || clean.starts_with(std::string(kSampleStagingName) + "/")) {
    refuse(name, "uses the name of the staging directory");
  }
  // Renamed over the lock file, it would let the next run lock another file while this one runs.
  if (clean == RUN_LOCK_FILE_NAME) refuse(name, "uses the name of the bundle's run lock file");
  return clean;
}

// Files and directories only: a sample bundle has no reason to hold anything else, and a link in
// it could lead a later write out of the bundle.
void check_kind(archive_entry* entry, std::string_view name) {
  if (archive_entry_hardlink(entry) != nullptr) refuse(name, "hard link");
  switch (archive_entry_filetype(entry)) {
    case AE_IFREG:
    case AE_IFDIR:
      return;
    case AE_IFLNK:
      refuse(name, "symbolic link");
    case AE_IFIFO:
      refuse(name, "FIFO");
    case AE_IFCHR:
    case AE_IFBLK:
      refuse(name, "device node");
    case AE_IFSOCK:
      refuse(name, "socket");
    default:
      refuse(name, "not a regular file or directory");
  }
}

// Keeps the running total of what the members need below what the disk and the limit allow, and
// is consulted before a member is written, so that a member that cannot fit is never started.
class SpaceBudget {
 public:
  SpaceBudget(const std::string& staging, const SampleLimits& limits)
      : staging_(staging), limit_(limits.max_unpacked_bytes), margin_(limits.free_space_margin) {
    std::uint64_t free = free_bytes(staging);
    free_ = free;
    room_ = free > margin_ ? free - margin_ : 0;
  }

  void take(std::uint64_t size, std::string_view member) {
    used_ += size;
    if (limit_ && used_ > *limit_) {
      throw ValueError(fmt::format(
          "the archive unpacks to more than the allowed {} bytes (at \"{}\")", *limit_, member));
    }
    if (used_ > room_) {
      throw OSError(ENOSPC,
                    fmt::format("the sample bundle does not fit: it needs more than {} bytes "
                                "(at \"{}\"), {} has {} free and {} are kept spare",
                                used_, member, staging_, free_, margin_));
    }
  }

 private:
  std::string staging_;
  std::optional<std::uint64_t> limit_;
  std::uint64_t margin_;
  std::uint64_t free_ = 0;
  std::uint64_t room_ = 0;
  std::uint64_t used_ = 0;
};

void write_fully(int fd, const char* data, std::size_t size, off_t offset,
                 const std::string& path) {
  while (size > 0) {
    ssize_t n = ::pwrite(fd, data, size, offset);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw_os_error(errno, "writing " + path);
    if (n == 0) throw_os_error(ENOSPC, "writing " + path);  // no progress: treated as disk full
    data += n;
    size -= static_cast<std::size_t>(n);
    offset += n;
  }
}

class Stager {
 public:
  Stager(archive* reader, std::string staging, const SampleLimits& limits)
      : reader_(reader), staging_(std::move(staging)), limits_(limits), budget_(staging_, limits) {}

  void add(archive_entry* entry) {
    const char* raw = archive_entry_pathname(entry);
    std::string name = raw ? raw : "";
    if (++count_ > limits_.max_members) {
      throw ValueError(fmt::format("the archive holds more than {} members", limits_.max_members));
    }
    std::string path = normalized_name(name, limits_);
    check_kind(entry, name);
    bool directory = archive_entry_filetype(entry) == AE_IFDIR;
    if (path.empty()) {
      if (!directory) refuse(name, "names the bundle directory itself");
      return;  // "./": the bundle directory, which stays as the user has it
    }
    std::uint64_t size = directory ? 0 : static_cast<std::uint64_t>(archive_entry_size(entry));
    budget_.take((size + kFsBlock - 1) / kFsBlock * kFsBlock + kFsBlock, name);
    StagedMember member{.path = path,
                        .directory = directory,
                        .mode = static_cast<unsigned>(archive_entry_perm(entry) & 0777),
                        .mtime = archive_entry_mtime(entry),
                        .size = size};
    make_parents(path, name);
    if (directory) {
      make_directory(path, name);
    } else {
      write_file(entry, member, name);
    }
    record(std::move(member));
  }

  std::vector<StagedMember> members() && { return std::move(members_); }

 private:
  std::string staged(const std::string& path) const { return staging_ + "/" + path; }

  void record(StagedMember member) {
    auto [it, fresh] = index_.try_emplace(member.path, members_.size());
    if (fresh) {
      members_.push_back(std::move(member));
    } else {
      members_[it->second] = std::move(member);
    }
  }

  // Within staging only this code creates things, so a name that exists is an earlier member.
  void make_directory(const std::string& path, std::string_view name) {
    std::string target = staged(path);
    if (::mkdir(target.c_str(), 0700) == 0) return;
    int error_number = errno;
    struct stat info {};
    if (error_number == EEXIST && ::lstat(target.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
      return;
    }
    if (error_number == EEXIST || error_number == ENOTDIR) {
      refuse(name, "the archive holds a file of that name as well");
    }
    throw_os_error(error_number, "creating " + target);
  }

  void make_parents(const std::string& path, std::string_view name) {
    for (std::size_t slash = path.find('/'); slash != std::string::npos;
         slash = path.find('/', slash + 1)) {
      make_directory(path.substr(0, slash), name);
    }
  }

  void write_file(archive_entry* entry, const StagedMember& member, std::string_view name) {
    std::string target = staged(member.path);
    struct stat info {};
    if (::lstat(target.c_str(), &info) == 0) {
      if (S_ISDIR(info.st_mode)) refuse(name, "the archive holds a directory of that name as well");
      if (::unlink(target.c_str()) != 0) throw_os_error(errno, "replacing " + target);
    }
    FileDescriptor fd(
        ::open(target.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (fd.get() < 0) throw_os_error(errno, "creating " + target);
    std::uint64_t data = copy_data(fd.get(), target, name);
    bool sparse = archive_entry_sparse_count(entry) > 0;
    if (sparse ? data > member.size : data != member.size) {
      raise_os_error(0, fmt::format("archive member \"{}\" holds {} bytes, its header says {}",
                                    name, data, member.size));
    }
    // A sparse member may end in a hole, which no data block covers.
    if (sparse && ::ftruncate(fd.get(), static_cast<off_t>(member.size)) != 0) {
      throw_os_error(errno, "writing " + target);
    }
    finish(fd.get(), member, target);
    fd.close(target);
  }

  std::uint64_t copy_data(int fd, const std::string& target, std::string_view name) {
    std::uint64_t total = 0;
    const void* block;
    std::size_t size;
    la_int64_t offset;
    while (true) {
      int r = archive_read_data_block(reader_, &block, &size, &offset);
      if (r == ARCHIVE_EOF) return total;
      if (r != ARCHIVE_OK) fail(reader_, fmt::format("reading \"{}\"", name));
      write_fully(fd, static_cast<const char*>(block), size, static_cast<off_t>(offset), target);
      total += size;
    }
  }

  static void finish(int fd, const StagedMember& member, const std::string& target) {
    if (::fchmod(fd, member.mode) != 0) throw_os_error(errno, "setting the mode of " + target);
    struct timespec times[2] = {{.tv_sec = member.mtime, .tv_nsec = 0},
                                {.tv_sec = member.mtime, .tv_nsec = 0}};
    if (::futimens(fd, times) != 0) throw_os_error(errno, "setting the time of " + target);
  }

  archive* reader_;
  std::string staging_;
  const SampleLimits& limits_;
  SpaceBudget budget_;
  std::uint64_t count_ = 0;
  std::vector<StagedMember> members_;
  std::unordered_map<std::string, std::size_t> index_;
};

}  // namespace

std::uint64_t free_bytes(const std::string& path) {
  struct statvfs info {};
  if (::statvfs(path.c_str(), &info) != 0)
    throw_os_error(errno, "measuring the free space of " + path);
  return static_cast<std::uint64_t>(info.f_bavail) * info.f_frsize;
}

std::vector<StagedMember> stage_archive(const std::string& archive_path, const std::string& staging,
                                        const SampleLimits& limits) {
  Reader reader = open_reader(archive_path);
  Stager stager(reader.get(), staging, limits);
  archive_entry* entry;
  while (true) {
    int r = archive_read_next_header(reader.get(), &entry);
    if (r == ARCHIVE_EOF) break;
    // A warning (an unknown header extension, say) may hide a damaged archive: not taken either.
    if (r != ARCHIVE_OK) fail(reader.get(), "reading " + archive_path);
    stager.add(entry);
  }
  if (archive_read_close(reader.get()) != ARCHIVE_OK) fail(reader.get(), "reading " + archive_path);
  return std::move(stager).members();
}

}  // namespace tessera_plus::bundle
