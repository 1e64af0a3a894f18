#include "tessera_plus/bundle/check/bundle_scan.h"

#include "tessera_plus/base/regular_file.h"

#include <sys/stat.h>

#include <filesystem>
#include <system_error>

namespace tessera_plus::bundle::check_detail {
namespace {

bool hidden(const std::string& name) { return !name.empty() && name.front() == '.'; }

bool ends_with_h5(const std::string& name) { return name.ends_with(".h5"); }

// Names in `dir` that do not begin with a dot, in listing order; none when it cannot be listed.
std::vector<std::string> visible_names(const std::string& dir) {
  namespace fs = std::filesystem;
  std::vector<std::string> names;
  std::error_code ec;
  fs::directory_iterator it(dir.empty() ? "." : dir, ec);
  for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
    std::string name = it->path().filename().string();
    if (!hidden(name)) names.push_back(std::move(name));
  }
  return names;
}

}  // namespace

std::string join_path(const std::string& base, const std::string& name) {
  if (base.empty()) return name;
  return base.back() == '/' ? base + name : base + "/" + name;
}

bool path_exists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

std::vector<std::string> list_h5_files(const std::string& dir) {
  std::vector<std::string> paths;
  for (const std::string& name : visible_names(dir)) {
    if (!ends_with_h5(name)) continue;
    std::string path = join_path(dir, name);
    if (is_regular_file(path)) paths.push_back(std::move(path));
  }
  return paths;
}

std::vector<std::string> list_h5_files_one_level_down(const std::string& dir) {
  std::vector<std::string> paths;
  for (const std::string& name : visible_names(dir)) {
    for (std::string& path : list_h5_files(join_path(dir, name))) paths.push_back(std::move(path));
  }
  return paths;
}

std::string folder_of(const std::string& path) {
  std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return {};
  std::string parent = path.substr(0, slash);
  return parent.substr(parent.rfind('/') + 1);
}

}  // namespace tessera_plus::bundle::check_detail
