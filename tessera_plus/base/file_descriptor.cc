#include "tessera_plus/base/file_descriptor.h"

#include <unistd.h>

#include <cerrno>

#include "tessera_plus/base/errors.h"

namespace tessera_plus {

FileDescriptor::~FileDescriptor() {
  if (fd_ >= 0) ::close(fd_);
}

void FileDescriptor::close(const std::string& path) {
  const int fd = fd_;
  fd_ = -1;
  if (::close(fd) != 0) throw_os_error(errno, "writing " + path);
}

}  // namespace tessera_plus
