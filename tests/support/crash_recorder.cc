#include "tests/support/crash_recorder.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <stdexcept>

#include "tests/support/temp_dir.h"

namespace tessera_plus::testing {
namespace {

namespace fs = std::filesystem;

std::string parent_of(const std::string& name) {
  std::size_t slash = name.rfind('/');
  return slash == std::string::npos ? std::string() : name.substr(0, slash);
}

// The whole content of the open file `fd`, which may be open for writing only.
std::string read_fd(int fd) {
  std::string bytes = read_file("/proc/self/fd/" + std::to_string(fd));
  struct stat st {};
  if (::fstat(fd, &st) != 0 || bytes.size() != static_cast<std::size_t>(st.st_size)) {
    throw std::runtime_error("cannot read a recorded file back");
  }
  return bytes;
}

void apply_write(std::string& content, std::uint64_t offset, const std::string& bytes) {
  if (content.size() < offset + bytes.size()) content.resize(offset + bytes.size(), '\0');
  std::copy(bytes.begin(), bytes.end(), content.begin() + static_cast<std::ptrdiff_t>(offset));
}

}  // namespace

DiskFiles read_tree(const fs::path& root) {
  DiskFiles files;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    if (!entry.is_regular_file() || entry.is_symlink()) continue;
    files[fs::relative(entry.path(), root).string()] = read_file(entry.path().string());
  }
  return files;
}

std::string ModelOp::describe() const {
  switch (kind) {
    case Kind::kWrite:
      return "write of " + std::to_string(bytes.size()) + " bytes at " + std::to_string(offset) +
             " to inode " + std::to_string(inode);
    case Kind::kTruncate:
      return "truncate of inode " + std::to_string(inode) + " to " + std::to_string(offset);
    case Kind::kSyncFile:
      return "fsync of inode " + std::to_string(inode);
    case Kind::kSyncDir:
      return "fsync of directory '" + dir + "'";
    case Kind::kLink:
      return from.empty() ? "create of " + name : "rename of " + from + " to " + name;
    case Kind::kUnlink:
      return "unlink of " + name;
  }
  return {};
}

CrashRecorder::CrashRecorder(const fs::path& root) : root_(fs::canonical(root)) {
  for (const auto& [name, content] : read_tree(root_)) {
    struct stat st {};
    if (::stat((root_ / name).c_str(), &st) != 0) throw std::runtime_error("cannot stat " + name);
    names_[name] = new_inode(st.st_dev, st.st_ino, content);
  }
  start_names_ = names_;
  start_contents_ = contents_;
  checkpoint();
}

std::optional<std::string> CrashRecorder::relative(const std::string& path) const {
  fs::path full = fs::weakly_canonical(fs::absolute(path));
  std::string text = full.string();
  std::string prefix = root_.string() + "/";
  if (text == root_.string()) return std::string();
  if (!text.starts_with(prefix)) return std::nullopt;
  return text.substr(prefix.size());
}

std::optional<std::string> CrashRecorder::name_of(int fd) const {
  std::string link = "/proc/self/fd/" + std::to_string(fd);
  char target[4096];
  ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
  if (n < 0) return std::nullopt;
  std::string path(target, static_cast<std::size_t>(n));
  if (path.ends_with(" (deleted)")) return std::nullopt;
  return relative(path);
}

int CrashRecorder::new_inode(std::uint64_t device, std::uint64_t inode, std::string content) {
  int id = static_cast<int>(identities_.size());
  identities_.emplace_back(device, inode);
  contents_.push_back(std::move(content));
  live_[{device, inode}] = id;
  return id;
}

int CrashRecorder::inode_of(int fd, const std::string& name) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) throw std::runtime_error("fstat of a recorded file failed");
  auto it = live_.find({st.st_dev, st.st_ino});
  if (it != live_.end()) return it->second;
  // Created since the last call we saw (open with O_CREAT is not a recorded call).
  int id = new_inode(st.st_dev, st.st_ino, {});
  link(name, id);
  return id;
}

void CrashRecorder::link(const std::string& name, int inode, const std::string& from) {
  auto old = names_.find(name);
  int replaced = old == names_.end() ? -1 : old->second;
  names_[name] = inode;
  if (!from.empty()) names_.erase(from);
  ops_.push_back({.kind = ModelOp::Kind::kLink,
                  .inode = inode,
                  .name = name,
                  .from = from,
                  .dir = parent_of(name)});
  if (replaced >= 0 && replaced != inode) forget_if_unnamed(replaced);
}

void CrashRecorder::unlink_name(const std::string& name) {
  auto it = names_.find(name);
  if (it == names_.end()) return;
  int inode = it->second;
  names_.erase(it);
  ops_.push_back(
      {.kind = ModelOp::Kind::kUnlink, .inode = inode, .name = name, .dir = parent_of(name)});
  forget_if_unnamed(inode);
}

// The file system may give a freed inode number to the next new file.
void CrashRecorder::forget_if_unnamed(int inode) {
  for (const auto& [name, id] : names_) {
    if (id == inode) return;
  }
  auto it = live_.find(identities_[inode]);
  if (it != live_.end() && it->second == inode) live_.erase(it);
}

void CrashRecorder::wrote(int fd, const void* data, std::size_t size, off_t offset) {
  std::optional<std::string> name = name_of(fd);
  if (!name) return;
  int id = inode_of(fd, *name);
  std::string bytes(static_cast<const char*>(data), size);
  apply_write(contents_[id], static_cast<std::uint64_t>(offset), bytes);
  ops_.push_back({.kind = ModelOp::Kind::kWrite,
                  .inode = id,
                  .offset = static_cast<std::uint64_t>(offset),
                  .bytes = std::move(bytes)});
}

void CrashRecorder::truncated(int fd, off_t size) {
  std::optional<std::string> name = name_of(fd);
  if (!name) return;
  int id = inode_of(fd, *name);
  contents_[id].resize(static_cast<std::size_t>(size), '\0');
  ops_.push_back(
      {.kind = ModelOp::Kind::kTruncate, .inode = id, .offset = static_cast<std::uint64_t>(size)});
}

void CrashRecorder::synced(int fd) {
  std::optional<std::string> name = name_of(fd);
  if (!name) return;
  struct stat st {};
  if (::fstat(fd, &st) != 0) throw std::runtime_error("fstat of a recorded file failed");
  if (S_ISDIR(st.st_mode)) {
    ops_.push_back({.kind = ModelOp::Kind::kSyncDir, .dir = *name});
    return;
  }
  int id = inode_of(fd, *name);
  // Writes that did not go through a recorded call (HDF5 building a new file under its
  // temporary name) become one write of the whole content, made just before the sync.
  std::string actual = read_fd(fd);
  if (actual != contents_[id]) {
    ops_.push_back({.kind = ModelOp::Kind::kTruncate, .inode = id, .offset = 0});
    ops_.push_back({.kind = ModelOp::Kind::kWrite, .inode = id, .offset = 0, .bytes = actual});
    contents_[id] = std::move(actual);
  }
  ops_.push_back({.kind = ModelOp::Kind::kSyncFile, .inode = id});
}

void CrashRecorder::renamed(const std::string& from, const std::string& to) {
  std::optional<std::string> source = relative(from);
  std::optional<std::string> target = relative(to);
  if (!target) {
    if (source) unlink_name(*source);
    return;
  }
  struct stat st {};
  if (::stat(to.c_str(), &st) != 0) throw std::runtime_error("cannot stat " + to);
  int id;
  auto it = live_.find({st.st_dev, st.st_ino});
  if (it != live_.end()) {
    id = it->second;
  } else {
    // A file never seen before: created, written and named without a recorded call.
    std::string content = read_file(to);
    id = new_inode(st.st_dev, st.st_ino, content);
    ops_.push_back({.kind = ModelOp::Kind::kWrite, .inode = id, .offset = 0, .bytes = content});
    if (source) link(*source, id);
  }
  if (source && names_.count(*source) && parent_of(*source) == parent_of(*target)) {
    link(*target, id, *source);
    return;
  }
  link(*target, id);
  if (source) unlink_name(*source);
}

void CrashRecorder::unlinked(const std::string& path) {
  if (std::optional<std::string> name = relative(path)) unlink_name(*name);
}

std::vector<std::string> CrashRecorder::model_differences() const {
  DiskFiles disk = read_tree(root_);
  std::vector<std::string> differ;
  for (const auto& [name, content] : disk) {
    auto it = names_.find(name);
    if (it == names_.end() || contents_[it->second] != content) differ.push_back(name);
  }
  for (const auto& [name, id] : names_) {
    if (!disk.count(name)) differ.push_back(name + " (missing on disk)");
  }
  return differ;
}

}  // namespace tessera_plus::testing
