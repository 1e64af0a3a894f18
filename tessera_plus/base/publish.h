// Build, then publish: a file is written under a hidden temporary name beside its final path,
// synced, and renamed into place, so that its final name only ever shows a complete file. The one
// way every writer of this library creates or replaces a whole file.
#pragma once

#include <filesystem>
#include <functional>
#include <string>

namespace tessera_plus {

class IoRecorder;

// One build of the file at `final_path`. The temporary name is hidden (leading dot), does not end
// in the real suffix (so no scan takes it for data) and names this process, so two processes never
// share one. Destroying an unpublished build removes its temporary file, on every path out.
class PendingFile {
 public:
  // `recorder` (crash-state tests only) is told the syncs, the rename and the removal. A file at
  // `final_path` that this user may not write is refused here already, as publish() refuses it.
  explicit PendingFile(std::filesystem::path final_path, IoRecorder* recorder = nullptr);
  PendingFile(const PendingFile&) = delete;
  PendingFile& operator=(const PendingFile&) = delete;
  ~PendingFile();

  // Where the content is to be written.
  const std::string& temp_path() const { return temp_; }
  const std::filesystem::path& final_path() const { return final_; }

  // Syncs the temporary file, renames it over the final path and syncs the directory, holding the
  // temporary file's lock from before the sync until after the rename. The new file takes the
  // permission bits of the file it replaces (and its owner and group when run as root); a file
  // that this user may not write is not replaced: PermissionError, as for a read-only HDF5 file.
  // OSError on any failure, with the temporary file removed and the old file (if any) untouched.
  void publish();

 private:
  std::filesystem::path final_;
  std::string temp_;
  IoRecorder* recorder_;
  bool published_ = false;
};

// Builds `path` through `build(temp_path)` and publishes it.
void publish_file(const std::filesystem::path& path,
                  const std::function<void(const std::string& temp_path)>& build);
// The same, telling `recorder` (crash-state tests only) as PendingFile does.
void publish_file(const std::filesystem::path& path, IoRecorder* recorder,
                  const std::function<void(const std::string& temp_path)>& build);

// Whether `path` is a regular file holding exactly `bytes` (false when it cannot be read).
bool holds_bytes(const std::filesystem::path& path, const std::string& bytes);

// Writes `bytes` to `path` through a PendingFile, unless `path` already holds exactly them: a
// rewrite with the same content would only move the modification time, which makes copies and
// backups of the directory (rsync, incremental backups) move the file again.
void write_file_if_changed(const std::filesystem::path& path, const std::string& bytes);

// Writes `bytes` to `path` through a PendingFile.
void write_file_atomically(const std::filesystem::path& path, const std::string& bytes,
                           IoRecorder* recorder = nullptr);

// Removes, in one listing of `dir`, the temporary files that killed builds left behind. A build is
// abandoned when the process its name ends with is gone (or is the one sweeping) and no process
// holds a lock on it: its writer keeps an exclusive lock while it works (HDF5 does so on files it
// writes) and while it publishes, so a lock that can be taken means the builder is gone or between
// the two, and a live owner is never swept. A missing directory is fine.
void remove_abandoned_builds(const std::filesystem::path& dir);

// fsync of a file or directory by path; OSError naming it on failure.
void sync_path(const std::filesystem::path& path, IoRecorder* recorder = nullptr);

}  // namespace tessera_plus
