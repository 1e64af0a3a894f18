// An open file descriptor owned by one object, so that no way out of a function that opened it
// (an exception included) leaves it open.
#pragma once

#include <string>

namespace tessera_plus {

class FileDescriptor {
 public:
  // Takes `fd` over; a negative one (a failed open) owns nothing.
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor();
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;

  int get() const { return fd_; }
  // Closes it now. Closing reports the last write errors of some file systems, so a writer
  // calls this and gets OSError ("writing <path>: ...") for them instead of losing them.
  void close(const std::string& path);

 private:
  int fd_;
};

}  // namespace tessera_plus
