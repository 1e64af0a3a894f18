#include "tessera_plus/bundle/store/bundle_lock.h"

#include <unistd.h>

#include <cerrno>
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

BundleLock::~BundleLock() {
  if (owner_ == ::getpid() && lock_) {
    // Removed while still locked: a waiter then finds the directory gone and creates it anew,
    // instead of taking a lock on one that is removed after. Only empty directories go; one that
    // another run has begun to fill stays.
    lock_->remove_file();
    for (const fs::path& dir : created_) {
      if (::rmdir(dir.c_str()) != 0) break;
    }
  }
  lock_.reset();
}

std::optional<BundleLock> lock_bundle(const fs::path& data_bundle_path,
                                      std::chrono::milliseconds wait, MissingBundle missing,
                                      std::ostream* out) {
  const fs::path bundle = bundle_dir(data_bundle_path);
  const fs::path file = run_lock_file(bundle);
  auto say_wait = [&](const std::string& holder) {
    if (out == nullptr) return;
    const double seconds = std::chrono::duration<double>(wait).count();
    *out << busy(bundle, holder) << fmt::format("，最多等待 {:g} 秒", seconds) << std::endl;
  };
  while (true) {
    std::vector<fs::path> created;
    std::error_code ec;
    if (!fs::is_directory(bundle, ec)) {
      if (missing == MissingBundle::kNoLock) return std::nullopt;
      for (fs::path dir = bundle; !dir.empty() && !fs::exists(dir, ec); dir = dir.parent_path()) {
        created.push_back(dir);
      }
      fs::create_directories(bundle, ec);
      if (ec) throw_os_error(ec.value(), "creating " + bundle.string());
    }
    try {
      std::string holder;
      std::optional<RunLock> lock = RunLock::acquire(file, wait, say_wait, &holder);
      if (!lock) throw BlockingIOError(busy(bundle, holder));
      return BundleLock(std::move(*lock), std::move(created));
    } catch (const OSError& e) {
      // The run before this one removed the bundle directory it had created for nothing.
      if (e.error_number() != ENOENT) throw;
    }
  }
}

}  // namespace tessera_plus::bundle
