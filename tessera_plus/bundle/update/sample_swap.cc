#include "tessera_plus/bundle/update/sample_swap.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <map>
#include <set>
#include <string_view>
#include <unordered_map>
#include <vector>

#include <fmt/format.h>

#include "tessera_plus/base/errors.h"
#include "tessera_plus/base/publish.h"

namespace tessera_plus::bundle {
namespace {

// One staged file and where it goes.
struct FileMove {
  std::string from;
  std::string to;      // the destination, with a link at the last name already followed
  std::string anchor;  // the deepest directory on the way that exists already
  std::uint64_t size;
};

// A directory the install creates, with the member that asked for it (none: implied by a path).
struct NewDirectory {
  std::string path;
  const StagedMember* member;
};

enum class Found { kMissing, kDirectory, kFile, kOther, kDangling };

// What is at `path`, links followed. Only stat is used, never open: a FIFO must not block us.
Found look(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) == 0) {
    if (S_ISDIR(info.st_mode)) return Found::kDirectory;
    return S_ISREG(info.st_mode) ? Found::kFile : Found::kOther;
  }
  int error_number = errno;
  if (error_number != ENOENT) throw_os_error(error_number, "examining " + path);
  return ::lstat(path.c_str(), &info) == 0 ? Found::kDangling : Found::kMissing;
}

bool is_symlink(const std::string& path) {
  struct stat info {};
  return ::lstat(path.c_str(), &info) == 0 && S_ISLNK(info.st_mode);
}

[[noreturn]] void clash(const StagedMember& member, std::string_view on_disk,
                        std::string_view what) {
  throw ValueError(fmt::format("refusing archive member \"{}\": {} {} in the bundle, not replaced",
                               member.path, on_disk, what));
}

std::string_view described(Found found) {
  switch (found) {
    case Found::kDirectory:
      return "is a directory";
    case Found::kFile:
      return "is a file";
    case Found::kDangling:
      return "is a symbolic link that leads nowhere";
    default:
      return "is neither a file nor a directory";
  }
}

// A file this user could not write in place is not swapped behind its owner's back either (the
// directory's permission would let the rename through): refused, as a read-only file is to an
// update, before anything moves.
void require_writable(const StagedMember& member, const std::string& path) {
  if (::faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) == 0) return;
  raise_os_error(errno, fmt::format("refusing archive member \"{}\": this user may not write it "
                                    "in the bundle, not replaced",
                                    member.path));
}

std::string real_path(const std::string& path) {
  char resolved[PATH_MAX];
  if (::realpath(path.c_str(), resolved) == nullptr) throw_os_error(errno, "resolving " + path);
  return resolved;
}

class Planner {
 public:
  Planner(const std::string& staging, const std::string& bundle_dir,
          const std::vector<StagedMember>& members)
      : staging_(staging), bundle_dir_(bundle_dir) {
    for (const StagedMember& member : members) {
      if (member.directory) directory_members_[member.path] = &member;
    }
  }

  // Walks the member's path from the bundle directory the way the kernel will, links followed.
  void add(const StagedMember& member) {
    std::string path = bundle_dir_;
    std::string anchor = bundle_dir_;
    for (std::size_t start = 0; start <= member.path.size();) {
      std::size_t slash = std::min(member.path.find('/', start), member.path.size());
      path += "/" + member.path.substr(start, slash - start);
      start = slash + 1;
      bool last = slash == member.path.size();
      if (last && !member.directory) return add_file(member, path, anchor);
      if (planned_.contains(path)) continue;
      Found found = look(path);
      if (found == Found::kMissing) {
        planned_.insert(path);
        auto it = directory_members_.find(path.substr(bundle_dir_.size() + 1));
        new_directories_.push_back({path, it == directory_members_.end() ? nullptr : it->second});
      } else if (found == Found::kDirectory) {
        anchor = path;
      } else {
        clash(member, path.substr(bundle_dir_.size() + 1), described(found));
      }
    }
  }

  std::vector<FileMove>& files() { return files_; }
  const std::vector<NewDirectory>& new_directories() const { return new_directories_; }

 private:
  void add_file(const StagedMember& member, const std::string& path, const std::string& anchor) {
    Found found = planned_.contains(path) ? Found::kDirectory : look(path);
    if (found != Found::kMissing && found != Found::kFile)
      clash(member, member.path, described(found));
    if (found == Found::kFile) require_writable(member, path);
    // The user's link to a file elsewhere stays a link: the new content goes where it leads.
    std::string to = found == Found::kFile && is_symlink(path) ? real_path(path) : path;
    files_.push_back({staging_ + "/" + member.path, to, anchor, member.size});
  }

  std::string staging_;
  std::string bundle_dir_;
  std::unordered_map<std::string, const StagedMember*> directory_members_;
  std::set<std::string> planned_;
  std::vector<NewDirectory> new_directories_;
  std::vector<FileMove> files_;
};

dev_t device_of(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) throw_os_error(errno, "examining " + path);
  return info.st_dev;
}

// Files that a user's link sends to another file system are copied there, so that file system
// needs room for them too; checked before anything moves.
void check_other_file_systems(const std::string& staging, const std::vector<FileMove>& files,
                              std::uint64_t margin) {
  dev_t home = device_of(staging);
  std::map<dev_t, std::pair<std::string, std::uint64_t>> needs;
  for (const FileMove& file : files) {
    std::string dir = file.to.substr(0, file.to.rfind('/'));
    dev_t device = device_of(look(dir) == Found::kDirectory ? dir : file.anchor);
    if (device == home) continue;
    auto& [where, bytes] = needs[device];
    where = dir;
    bytes += file.size;
  }
  for (const auto& [device, need] : needs) {
    std::uint64_t free = free_bytes(need.first);
    if (need.second + margin > free) {
      throw OSError(ENOSPC, fmt::format("the sample bundle does not fit: {} bytes go to {}, which "
                                        "has {} free and {} are kept spare",
                                        need.second, need.first, free, margin));
    }
  }
}

// Plain reads and writes: copy_file_range refuses some pairs of file systems (tmpfs and others).
int copy_bytes(int in, int out) {
  std::vector<char> buffer(1 << 20);
  while (true) {
    ssize_t got = ::read(in, buffer.data(), buffer.size());
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return errno;
    if (got == 0) return 0;
    for (ssize_t done = 0; done < got;) {
      ssize_t n = ::write(out, buffer.data() + done, static_cast<std::size_t>(got - done));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return n < 0 ? errno : ENOSPC;
      done += n;
    }
  }
}

void copy_contents(const std::string& from, const std::string& to) {
  int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) throw_os_error(errno, "reading " + from);
  int out = ::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (out < 0) {
    int error_number = errno;
    ::close(in);
    throw_os_error(error_number, "creating " + to);
  }
  ::flock(out, LOCK_EX);  // a clean-up must not take this live build for an abandoned one
  struct stat info {};
  int error_number = ::fstat(in, &info) == 0 ? copy_bytes(in, out) : errno;
  struct timespec times[2] = {info.st_mtim, info.st_mtim};
  if (error_number == 0 &&
      (::fchmod(out, info.st_mode & 0777) != 0 || ::futimens(out, times) != 0)) {
    error_number = errno;
  }
  ::close(in);
  if (::close(out) != 0 && error_number == 0) error_number = errno;
  if (error_number != 0) throw_os_error(error_number, "copying " + from + " to " + to);
}

void move_file(const FileMove& file, IoRecorder* recorder) {
  if (::rename(file.from.c_str(), file.to.c_str()) == 0) {
    if (recorder) recorder->renamed(file.from, file.to);
    return;
  }
  if (errno != EXDEV) throw_os_error(errno, "moving " + file.from + " to " + file.to);
  publish_file(file.to, recorder, [&](const std::string& temp) { copy_contents(file.from, temp); });
}

std::string parent_of(const std::string& path) { return path.substr(0, path.rfind('/')); }

void create_directories(const std::vector<NewDirectory>& directories) {
  for (const NewDirectory& directory : directories) {
    // Owner-only until the files are in; a directory the archive only implies gets the usual mode.
    mode_t mode = directory.member ? 0700 : 0777;
    if (::mkdir(directory.path.c_str(), mode) != 0 && errno != EEXIST) {
      throw_os_error(errno, "creating " + directory.path);
    }
  }
}

// Deepest first, so that setting a parent's time is not undone by its children.
void finish_directories(const std::vector<NewDirectory>& directories) {
  for (auto it = directories.rbegin(); it != directories.rend(); ++it) {
    if (it->member == nullptr) continue;
    if (::chmod(it->path.c_str(), it->member->mode) != 0) throw_os_error(errno, it->path);
    struct timespec times[2] = {{.tv_sec = it->member->mtime, .tv_nsec = 0},
                                {.tv_sec = it->member->mtime, .tv_nsec = 0}};
    if (::utimensat(AT_FDCWD, it->path.c_str(), times, 0) != 0) throw_os_error(errno, it->path);
  }
}

}  // namespace

void move_staged_members(const std::string& staging, const std::string& bundle_dir,
                         const std::vector<StagedMember>& members, std::uint64_t margin,
                         IoRecorder* recorder) {
  Planner planner(staging, bundle_dir, members);
  for (const StagedMember& member : members) planner.add(member);
  check_other_file_systems(staging, planner.files(), margin);

  create_directories(planner.new_directories());
  std::set<std::string> changed{bundle_dir};
  for (const NewDirectory& directory : planner.new_directories()) {
    changed.insert(parent_of(directory.path));
  }
  for (const FileMove& file : planner.files()) {
    move_file(file, recorder);
    changed.insert(parent_of(file.to));
  }
  // The files' data was synced in staging; the renames become durable with their directories.
  for (const std::string& dir : changed) sync_path(dir, recorder);
  finish_directories(planner.new_directories());
}

}  // namespace tessera_plus::bundle
