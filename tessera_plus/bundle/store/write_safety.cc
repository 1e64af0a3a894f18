#include "tessera_plus/bundle/store/write_safety.h"

#include <sys/stat.h>

#include <cerrno>

#include "tessera_plus/base/errors.h"

namespace tessera_plus::bundle {

void require_regular_file(const std::string& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) {
    if (errno == ENOENT) return;
    throw_os_error(errno, "cannot inspect " + path);
  }
  if (S_ISLNK(st.st_mode)) {
    throw ValueError("refusing to write " + path +
                     ": it is a symbolic link, and writes never follow a link in place of a file");
  }
  if (!S_ISREG(st.st_mode)) throw ValueError("refusing to write " + path + ": not a regular file");
}

void require_hard_link(const h5::File& file, const std::string& name) {
  if (!file.member_is_hard_link(name)) {
    throw ValueError("refusing to write " + file.path() + ": its member '" + name +
                     "' is a link to elsewhere");
  }
}

h5::Dataset open_for_write(h5::File& file, const std::string& name) {
  require_hard_link(file, name);
  h5::Dataset dataset = h5::Dataset::open(file, name);
  if (dataset.has_external_storage()) {
    throw ValueError("refusing to write " + file.path() + ": the values of its dataset '" + name +
                     "' are stored in other files");
  }
  return dataset;
}

}  // namespace tessera_plus::bundle
