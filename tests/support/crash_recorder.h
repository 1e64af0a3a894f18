// The durable-storage calls under one directory (base/io_recorder.h), recorded as operations on a
// model of files and directory entries: the input of a crash-state enumeration (crash_states.h).
// Files are model inodes, names are paths relative to the recorded directory. Calls on anything
// outside it are ignored.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "tessera_plus/base/io_recorder.h"

namespace tessera_plus::testing {

// Every regular file under a directory by relative name, with its bytes.
using DiskFiles = std::map<std::string, std::string>;
DiskFiles read_tree(const std::filesystem::path& root);

struct ModelOp {
  enum class Kind {
    kWrite,     // `bytes` at `offset` of `inode`
    kTruncate,  // `inode` to `offset` bytes
    kSyncFile,  // fsync or fdatasync of `inode`
    kSyncDir,   // fsync of the directory `dir`
    kLink,      // `name` now names `inode`; a rename within `dir` also removes `from` at once
    kUnlink,    // `name` goes
  };
  Kind kind;
  int inode = -1;
  std::uint64_t offset = 0;
  std::string bytes{};
  std::string name{};
  std::string from{};
  std::string dir{};  // the directory that a link or unlink changes, or that a sync syncs
  std::string describe() const;
};

class CrashRecorder final : public IoRecorder {
 public:
  // Everything under `root` now is the durable starting state, and its first checkpoint.
  explicit CrashRecorder(const std::filesystem::path& root);

  void wrote(int fd, const void* data, std::size_t size, off_t offset) override;
  void truncated(int fd, off_t size) override;
  void synced(int fd) override;
  void renamed(const std::string& from, const std::string& to) override;
  void unlinked(const std::string& path) override;

  // The files as they are now are one whole state of the scenario, which a crash may leave: call
  // it between two writer calls, never inside one.
  void checkpoint() { checkpoints_.push_back(read_tree(root_)); }

  // Names whose content on disk differs from the model with every operation applied: empty when
  // the recording is complete.
  std::vector<std::string> model_differences() const;

  const std::map<std::string, int>& start_names() const { return start_names_; }
  const std::vector<std::string>& start_contents() const { return start_contents_; }
  int inode_count() const { return static_cast<int>(identities_.size()); }
  // The device and inode number that a model inode had on disk when it was recorded.
  std::pair<std::uint64_t, std::uint64_t> identity(int inode) const { return identities_[inode]; }
  const std::vector<ModelOp>& ops() const { return ops_; }
  const std::vector<DiskFiles>& checkpoints() const { return checkpoints_; }

 private:
  std::optional<std::string> relative(const std::string& path) const;
  std::optional<std::string> name_of(int fd) const;
  // The model inode of the open file `fd` named `name`; a file not seen before is linked now.
  int inode_of(int fd, const std::string& name);
  int new_inode(std::uint64_t device, std::uint64_t inode, std::string content);
  void link(const std::string& name, int inode, const std::string& from = {});
  void unlink_name(const std::string& name);
  void forget_if_unnamed(int inode);

  std::filesystem::path root_;
  std::map<std::string, int> start_names_;
  std::vector<std::string> start_contents_;
  std::map<std::string, int> names_;   // with every operation applied
  std::vector<std::string> contents_;  // by model inode, every operation applied
  std::vector<std::pair<std::uint64_t, std::uint64_t>> identities_;
  std::map<std::pair<std::uint64_t, std::uint64_t>, int> live_;  // on-disk identity -> inode
  std::vector<ModelOp> ops_;
  std::vector<DiskFiles> checkpoints_;
};

}  // namespace tessera_plus::testing
