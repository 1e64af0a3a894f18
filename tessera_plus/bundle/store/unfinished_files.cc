#include "tessera_plus/bundle/store/unfinished_files.h"

#include <cerrno>
#include <string_view>

#include <fmt/format.h>

#include "tessera_plus/base/errors.h"
#include "tessera_plus/base/logger.h"
#include "tessera_plus/base/run_report.h"
#include "tessera_plus/bundle/store/bundle_layout.h"
#include "tessera_plus/h5/journal_driver.h"

namespace tessera_plus::bundle {
namespace {

namespace fs = std::filesystem;

std::vector<std::string> bundle_h5_files(const fs::path& bundle) {
  std::vector<std::string> files = list_instrument_files(bundle.string());
  std::vector<std::string> minbars = list_minbar_files(minbar_dir(bundle).string());
  files.insert(files.end(), minbars.begin(), minbars.end());
  std::vector<std::string> ticks = list_instrument_files(tick_dir(bundle).string());
  files.insert(files.end(), ticks.begin(), ticks.end());
  return files;
}

// What a user who may not write the file is told to do about it.
constexpr char kDeniedReason[] =
    "被中断的更新使该文件暂不可读（文件头被隐藏或旁边留有 .rollback 记录），数据完好；请由可写该"
    "文件的用户运行 tessera-plus status 或下一次更新来恢复";

}  // namespace

std::vector<UnfinishedFile> recover_unfinished_files(const fs::path& bundle) {
  std::vector<UnfinishedFile> found;
  for (const std::string& path : bundle_h5_files(bundle)) {
    if (!h5::has_unfinished_commit(path)) continue;
    UnfinishedFile file{.path = path};
    try {
      h5::recover_journal(path);
      file.recovered = true;
      system_log::warn(fmt::format("更新 {} 时发现被中断的更新，已恢复为完整可读的文件", path));
    } catch (const OSError& e) {
      const int error = e.error_number();
      if (error == EWOULDBLOCK) continue;  // being written now
      file.reason = error == EACCES || error == EPERM || error == EROFS ? kDeniedReason
                                                                        : one_line(e.what(), 400);
    }
    found.push_back(std::move(file));
  }
  return found;
}

std::string unfinished_file_line(const UnfinishedFile& file) {
  return fmt::format("{}：{}", file.path,
                     file.recovered ? "被中断的更新留下的文件已恢复为完整可读的文件" : file.reason);
}

}  // namespace tessera_plus::bundle
