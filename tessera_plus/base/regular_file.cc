#include "tessera_plus/base/regular_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include <fmt/format.h>

#include "tessera_plus/base/errors.h"
#include "tessera_plus/base/file_descriptor.h"

namespace tessera_plus {
namespace {

[[noreturn]] void not_regular(const std::string& path) {
  raise_os_error(EINVAL, fmt::format("{} is not a regular file", path));
}

}  // namespace

bool is_regular_file(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

void require_regular_file_if_present(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) not_regular(path);
}

std::string read_regular_file(const std::string& path, std::size_t max_bytes) {
  FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
  if (fd.get() < 0) throw_os_error(errno, "cannot open " + path);
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) throw_os_error(errno, "cannot read " + path);
  if (!S_ISREG(st.st_mode)) not_regular(path);
  if (static_cast<std::size_t>(st.st_size) > max_bytes) {
    raise_os_error(EFBIG, fmt::format("{} is {} bytes, more than the {} that such a file can hold",
                                      path, st.st_size, max_bytes));
  }
  std::string content(static_cast<std::size_t>(st.st_size), '\0');
  std::size_t done = 0;
  while (done < content.size()) {
    ssize_t n = ::read(fd.get(), content.data() + done, content.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw_os_error(errno, "cannot read " + path);
    if (n == 0) break;  // shrank while being read
    done += static_cast<std::size_t>(n);
  }
  content.resize(done);
  return content;
}

}  // namespace tessera_plus
