#include "tessera_plus/base/errors.h"

#include <cerrno>
#include <cstring>

namespace tessera_plus {

void throw_os_error(int error_number, const std::string& what) {
  std::string text = what + ": " + std::strerror(error_number);
  if (error_number == EAGAIN || error_number == EWOULDBLOCK) throw BlockingIOError(text);
  if (error_number == EACCES || error_number == EPERM) throw PermissionError(error_number, text);
  throw OSError(error_number, text);
}

}  // namespace tessera_plus
