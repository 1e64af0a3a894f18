// HDF5 files and their top-level members.
#pragma once

#include <string>
#include <vector>

#include "tessera_plus/h5/handle.h"

namespace tessera_plus::h5 {

enum class Mode {
  kReadOnly,  // an existing file, read only
  kAppend,    // read-write; a missing file is created
  kCreate,    // a new file; an existing one is an error
};

class File {
 public:
  // Opens `path`. Files created here track free space persistently, so that space released by a
  // deleted dataset or a rewritten chunk is reused after the file is closed and opened again
  // instead of being lost for good.
  static File open(const std::string& path, Mode mode);

  File(File&&) noexcept = default;
  File& operator=(File&&) noexcept = default;

  Id id() const { return id_.get(); }
  const std::string& path() const { return path_; }

  bool has(const std::string& name) const;
  // Names of the top-level members, in HDF5's name order.
  std::vector<std::string> member_names() const;
  void remove(const std::string& name);

  // Flushes and closes, reporting failures; the destructor closes silently.
  void close();

 private:
  File(FileId id, std::string path) : id_(std::move(id)), path_(std::move(path)) {}
  FileId id_;
  std::string path_;
};

// The creation property list of every file this library creates.
PropListId file_creation_plist();

}  // namespace tessera_plus::h5
