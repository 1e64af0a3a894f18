#include "cli/bundle_dir.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <vector>

#include <fmt/format.h>

#include "tessera_plus/base/errors.h"
#include "tessera_plus/base/logger.h"
#include "tessera_plus/bundle/store/bundle_layout.h"
#include "tessera_plus/bundle/store/bundle_root.h"

namespace tessera_plus::cli {

namespace fs = std::filesystem;

namespace {

// ROOT without a trailing separator, so that its parent is the directory that holds it.
fs::path without_trailing_separator(const std::string& root) {
  fs::path path = fs::path(root).lexically_normal();
  if (!path.has_filename() && path.has_parent_path() && path != path.root_path()) {
    path = path.parent_path();
  }
  return path;
}

}  // namespace

void require_root_not_a_file(const std::string& root) {
  std::error_code ec;
  if (fs::exists(root, ec) && !fs::is_directory(root, ec)) {
    throw ArgumentError("the bundle root " + root + " is not a directory; pass -d a directory");
  }
}

void require_creatable_root(const std::string& root) {
  std::error_code ec;
  if (fs::exists(root, ec)) return;
  fs::path parent = without_trailing_separator(root).parent_path();
  if (parent.empty()) parent = ".";
  if (fs::is_directory(parent, ec)) return;
  throw ArgumentError(fmt::format(
      "the bundle root {} does not exist, nor does its parent {}; check -d, or create {} first",
      root, parent.string(), parent.string()));
}

void require_bundle_dir(const std::string& root) {
  require_root_not_a_file(root);
  bundle::require_bundle_dir(root, "-d");
}

void require_writable_output(const std::string& path) {
  fs::path dir = fs::path(path).parent_path();
  if (dir.empty()) dir = ".";
  std::error_code ec;
  if (!fs::is_directory(dir, ec)) {
    throw ArgumentError(
        fmt::format("cannot write {}: the directory {} does not exist; create it "
                    "first",
                    path, dir.string()));
  }
  if (::access(dir.c_str(), W_OK | X_OK) != 0) {
    throw PermissionError(EACCES, fmt::format("cannot create {}: the directory {} is not writable",
                                              path, dir.string()));
  }
}

void require_writable_bundle(const std::string& root) {
  const fs::path bundle = bundle::bundle_dir(root);
  std::error_code ec;
  if (!fs::is_directory(bundle, ec)) return;
  std::vector<fs::path> dirs = {bundle, bundle::minbar_dir(bundle), bundle::tick_dir(bundle)};
  for (const auto& entry : fs::directory_iterator(bundle::minbar_dir(bundle), ec)) {
    if (entry.is_directory(ec)) dirs.push_back(entry.path());
  }
  for (const fs::path& dir : dirs) {
    if (fs::is_directory(dir, ec) && ::access(dir.c_str(), W_OK | X_OK) != 0) {
      throw PermissionError(
          EACCES, fmt::format("the bundle {} is not writable: permission denied on {}; run as "
                              "its owner or fix its permissions (nothing was changed)",
                              bundle.string(), dir.string()));
    }
  }
}

void warn_of_unwritable_files(const std::string& root) {
  const fs::path bundle = bundle::bundle_dir(root);
  std::error_code ec;
  std::size_t count = 0;
  std::string first;
  for (fs::recursive_directory_iterator it(bundle, ec), end; !ec && it != end; it.increment(ec)) {
    // Hidden names are the program's own: the run lock, builds in progress, records.
    if (it->path().filename().string().starts_with(".") || !it->is_regular_file(ec)) continue;
    if (::access(it->path().c_str(), W_OK) == 0) continue;
    if (count++ == 0) first = it->path().string();
  }
  if (count == 0) return;
  const std::string line = fmt::format(
      "tessera-plus: warning: {} files of {} are not writable by this user (the first: {}); their "
      "updates will fail, each with its reason in the log",
      count, bundle.string(), first);
  std::fflush(stdout);
  std::fprintf(stderr, "%s\n", line.c_str());
  system_log::record(log_level::warn, line);
  ::setenv("TESSERA_LOG_ECHO", "0", 1);
}

}  // namespace tessera_plus::cli
