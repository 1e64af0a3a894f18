// What a crash-state test needs to know about the calls that decide what a power cut leaves on
// disk. The journal's commit (h5/journal_io.h) and the publishing of whole files (publish.h) tell
// a recorder each such call once it has succeeded; production code passes none and pays one null
// check per call.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>

namespace tessera_plus {

class IoRecorder {
 public:
  virtual ~IoRecorder() = default;
  virtual void wrote(int fd, const void* data, std::size_t size, off_t offset) = 0;
  virtual void truncated(int fd, off_t size) = 0;
  // fsync or fdatasync of a file, or fsync of a directory.
  virtual void synced(int fd) = 0;
  virtual void renamed(const std::string& from, const std::string& to) = 0;
  virtual void unlinked(const std::string& path) = 0;
};

}  // namespace tessera_plus
