#include "tessera_plus/bundle/store/building_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

#include "tessera_plus/base/errors.h"

namespace tessera_plus::bundle {
namespace {

namespace fs = std::filesystem;

std::string building_prefix(const std::string& file_name) { return "." + file_name + ".tmp-"; }

bool abandoned(const fs::path& building) {
  int fd = ::open(building.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  bool free = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
  ::close(fd);
  return free;
}

}  // namespace

fs::path building_name(const fs::path& dir, const std::string& file_name) {
  return dir / (building_prefix(file_name) + std::to_string(::getpid()));
}

void remove_abandoned_builds(const fs::path& dir, const std::string& file_name) {
  const std::string prefix = building_prefix(file_name);
  std::error_code ec;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    if (!it->path().filename().string().starts_with(prefix) || !abandoned(it->path())) continue;
    if (::unlink(it->path().c_str()) != 0 && errno != ENOENT) {
      throw_os_error(errno, "cannot remove the abandoned build " + it->path().string());
    }
  }
  if (ec) throw_os_error(ec.value(), "cannot list " + dir.string());
}

}  // namespace tessera_plus::bundle
