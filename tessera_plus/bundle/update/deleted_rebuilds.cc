#include "tessera_plus/bundle/update/deleted_rebuilds.h"

#include <cstdio>

#include <fmt/format.h>

#include "tessera_plus/base/console.h"
#include "tessera_plus/base/regular_file.h"
#include "tessera_plus/bundle/store/deleted_files.h"

namespace tessera_plus::bundle {
namespace {

namespace fs = std::filesystem;

// The bundle directory of an updater's directory: bundle/h5 or bundle/ticks, possibly written
// with a trailing separator.
fs::path bundle_above(const std::string& path) {
  fs::path dir(path);
  if (!dir.has_filename()) dir = dir.parent_path();
  return dir.parent_path();
}

}  // namespace

std::vector<std::string> deleted_instrument_ids(const fs::path& bundle, bool tick) {
  std::vector<std::string> ids;
  for (const BundleFile& file : read_deleted_files(bundle)) {
    if (file.tick == tick) ids.push_back(file.order_book_id);
  }
  return ids;
}

DeletedFileRebuilds::DeletedFileRebuilds(const std::string& path, bool tick,
                                         const std::set<std::string>& ids)
    : bundle_(bundle_above(path)), tick_(tick) {
  for (BundleFile& file : read_deleted_files(bundle_)) {
    if (file.tick != tick_ || !ids.contains(file.order_book_id)) continue;
    if (back(file)) {
      present_.insert(file.relative);
    } else {
      missing_.push_back(std::move(file));
    }
  }
}

bool DeletedFileRebuilds::back(const BundleFile& file) const {
  if (is_regular_file((bundle_ / file.relative).string())) return true;
  if (tick_) return false;
  // The writer places a minute-bar file by its instrument's type, which may put it in another
  // class directory than the deleted one stood in; the instrument is back all the same.
  for (std::string_view name : MINBAR_CLASS_DIRS) {
    const fs::path dir = class_dir(minbar_dir(bundle_), name);
    if (is_regular_file(instrument_file(dir, file.order_book_id).string())) return true;
  }
  return false;
}

void DeletedFileRebuilds::finish() const {
  std::set<std::string> done = present_;
  std::size_t rebuilt = 0;
  for (const BundleFile& file : missing_) {
    if (!back(file)) continue;
    done.insert(file.relative);
    ++rebuilt;
  }
  forget_deleted_files(bundle_, done);
  if (missing_.empty()) return;
  const char* kind = tick_ ? "tick数据文件" : "分钟线数据文件";
  std::string line = fmt::format("已重建检查时删除的 {} 个{}", rebuilt, kind);
  if (rebuilt < missing_.size()) {
    line += fmt::format("，{} 个未能重建，留待下次更新", missing_.size() - rebuilt);
    console_write(stdout, line + "\n");  // a failure: shown even to a quiet run
    return;
  }
  console_say(line);
}

}  // namespace tessera_plus::bundle
