#include "tessera_plus/bundle/update/write_guard.h"

#include "tessera_plus/base/errors.h"
#include "tessera_plus/base/logger.h"
#include "tessera_plus/base/settings.h"
#include "tessera_plus/base/shared_flag.h"
#include "tessera_plus/base/write_failure.h"
#include "tessera_plus/market/types.h"

namespace tessera_plus::bundle {
namespace {

void report_failure(const std::string& message) {
  tessera::system_log::error(message);
  tessera::sval().set_value(false);
}

}  // namespace

void guard_file_update(const std::string& file_path, const std::function<void()>& body) {
  try {
    body();
  } catch (const ExitRequest&) {
    throw;
  } catch (const OSError& e) {
    report_failure(describe_write_failure(file_path, e));
  } catch (const tallow::PermissionDenied&) {
    report_failure("更新 " + file_path +
                   " 失败，您没有相关数据的使用权限，可联系Larkspur开通相关权限：" +
                   tessera::support_phone());
  } catch (const std::exception& e) {
    report_failure("更新 " + file_path +
                   " 失败，该文件可能已经损坏，您可以尝试删除该文件并重新执行更新命令\n" +
                   e.what());
  }
}

}  // namespace tessera_plus::bundle
