#include "tessera_plus/base/errors.h"

#include <cerrno>
#include <cstring>

namespace tessera_plus {

void raise_os_error(int error_number, const std::string& text) {
  if (error_number == EAGAIN || error_number == EWOULDBLOCK) throw BlockingIOError(text);
  if (error_number == EACCES || error_number == EPERM) throw PermissionError(error_number, text);
  throw OSError(error_number, text);
}

void throw_os_error(int error_number, const std::string& what) {
  raise_os_error(error_number, what + ": " + std::strerror(error_number));
}

}  // namespace tessera_plus
