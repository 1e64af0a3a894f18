#include "tessera_plus/bundle/store/bundle_root.h"

#include <cerrno>
#include <filesystem>

#include <fmt/format.h>

#include "tessera_plus/base/errors.h"
#include "tessera_plus/bundle/store/bundle_layout.h"

namespace tessera_plus::bundle {
namespace {

namespace fs = std::filesystem;

// What a bundle directory holds at its top, whichever parts an update has written so far.
bool looks_like_bundle(const fs::path& dir) {
  std::error_code ec;
  return dir.filename() == bundle_dir("").filename() ||
         fs::exists(trading_calendar_file(dir), ec) || fs::is_directory(minbar_dir(dir), ec) ||
         fs::is_directory(tick_dir(dir), ec);
}

}  // namespace

void require_bundle_dir(const std::string& root, std::string_view option) {
  const fs::path bundle = bundle_dir(root);
  std::error_code ec;
  if (fs::is_directory(bundle, ec)) return;
  const fs::path given = fs::path(root).lexically_normal();
  // "-d" is followed by its value, "data_bundle_path=" is joined to it.
  const std::string_view gap = option.ends_with('=') ? "" : " ";
  if (fs::is_directory(given, ec) && looks_like_bundle(given)) {
    throw OSError(ENOENT,
                  fmt::format("the bundle directory {} does not exist; {} takes the bundle root, "
                              "the directory that holds bundle/: try {}{}{}",
                              bundle.string(), option, option, gap, given.parent_path().string()));
  }
  throw OSError(ENOENT, fmt::format("the bundle directory {} does not exist; check {} or run an "
                                    "update with base data first",
                                    bundle.string(), option));
}

}  // namespace tessera_plus::bundle
