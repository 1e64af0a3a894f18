#include "tessera_plus/bundle/store/remove.h"

#include <unistd.h>

#include <cerrno>

#include "tessera_plus/base/errors.h"

namespace tessera_plus::bundle {

void remove_h5(const std::string& h5_file) {
  // unlink, not remove: remove() would delete an empty directory, which must stay an error.
  if (::unlink(h5_file.c_str()) == 0 || errno == ENOENT) return;
  throw_os_error(errno, "cannot delete " + h5_file);
}

}  // namespace tessera_plus::bundle
