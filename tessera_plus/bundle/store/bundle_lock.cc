#include "tessera_plus/bundle/store/bundle_lock.h"

#include <system_error>

#include <fmt/format.h>

#include "tessera_plus/base/errors.h"
#include "tessera_plus/bundle/store/bundle_layout.h"

namespace tessera_plus::bundle {
namespace {

namespace fs = std::filesystem;

std::string busy(const fs::path& bundle, const std::string& holder) {
  return fmt::format("数据包 {} 正被另一个任务使用（{}）", bundle.string(), holder);
}

}  // namespace

std::optional<RunLock> lock_bundle(const fs::path& data_bundle_path, std::chrono::milliseconds wait,
                                   MissingBundle missing, std::ostream* out) {
  const fs::path bundle = bundle_dir(data_bundle_path);
  std::error_code ec;
  if (!fs::is_directory(bundle, ec)) {
    if (missing == MissingBundle::kNoLock) return std::nullopt;
    fs::create_directories(bundle, ec);
    if (ec) throw_os_error(ec.value(), "creating " + bundle.string());
  }
  const fs::path file = run_lock_file(bundle);
  std::optional<RunLock> lock = RunLock::acquire(file, wait, [&](const std::string& holder) {
    if (out == nullptr) return;
    const double seconds = std::chrono::duration<double>(wait).count();
    *out << busy(bundle, holder) << fmt::format("，最多等待 {:g} 秒", seconds) << std::endl;
  });
  if (!lock) throw BlockingIOError(busy(bundle, RunLock::holder(file)));
  return lock;
}

}  // namespace tessera_plus::bundle
