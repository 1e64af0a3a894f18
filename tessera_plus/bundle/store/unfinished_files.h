// Files that an interrupted update left unfinished: hidden from plain readers (h5py's open fails
// with "file signature not found") or beside a rollback record. The commit that was cut made
// sure each is whole, old or new, or can be rolled back to its old self; what it takes is a
// process that may write the file to finish the job. Updates do it for the files they write;
// `status` and the checks do it for every HDF5 file of the bundle, class files included, so that
// a file is never left hidden until an update happens to touch it.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace tessera_plus::bundle {

struct UnfinishedFile {
  std::string path{};
  bool recovered = false;  // readable again now
  std::string reason{};    // one line, when not: what stands in the way, and what to run
};

// Finishes every interrupted commit of the HDF5 files under the bundle directory `bundle`: its own
// (daily bars, suspensions), the minute-bar class directories and the tick directory. A file that
// another process is writing right now is skipped: its commit is not interrupted, only under way.
// Never deletes and never calls a file broken.
std::vector<UnfinishedFile> recover_unfinished_files(const std::filesystem::path& bundle);

// The console line of `file`: "{path}：已恢复为完整可读的文件" or "{path}：{reason}".
std::string unfinished_file_line(const UnfinishedFile& file);

}  // namespace tessera_plus::bundle
