#include "tessera_plus/bundle/check/bundle_scan.h"

#include <sys/stat.h>

namespace tessera_plus::bundle::check_detail {

bool path_exists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

std::string folder_of(const std::string& path) {
  std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return {};
  std::string parent = path.substr(0, slash);
  return parent.substr(parent.rfind('/') + 1);
}

}  // namespace tessera_plus::bundle::check_detail
