#include "tessera_plus/bundle/update/write_guard.h"

#include "tessera_plus/base/errors.h"
#include "tessera_plus/base/logger.h"
#include "tessera_plus/base/run_report.h"
#include "tessera_plus/base/settings.h"
#include "tessera_plus/base/shared_flag.h"
#include "tessera_plus/base/write_failure.h"
#include "tessera_plus/market/types.h"

namespace tessera_plus::bundle {
namespace {

// `file_path` names the instrument in the run's list of failures; the reason is the message
// after the path, its advice and the error's first line joined into one line.
void report_failure(const std::string& file_path, const std::string& message) {
  tessera::system_log::error(message);
  std::string reason = message.substr(("更新 " + file_path + " ").size());
  if (std::size_t end = reason.find('\n'); end != std::string::npos) reason[end] = ' ';
  tessera::record_failure(file_path, reason);
  tessera::sval().set_value(false);
}

}  // namespace

void guard_file_update(const std::string& file_path, const std::function<void()>& body) {
  try {
    body();
  } catch (const ExitRequest&) {
    throw;
  } catch (const OSError& e) {
    report_failure(file_path, describe_write_failure(file_path, e));
  } catch (const tallow::PermissionDenied&) {
    report_failure(file_path, "更新 " + file_path +
                                  " 失败，您没有相关数据的使用权限，可联系Larkspur开通相关权限：" +
                                  tessera::support_phone());
  } catch (const tallow::ServiceUnavailable& e) {
    // The file is fine; advice to delete it would make a network error cost the user data.
    report_failure(file_path, "更新 " + file_path + " 失败，数据服务暂时不可用：" +
                                  tessera::one_line(e.what(), 300));
  } catch (const std::exception& e) {
    report_failure(file_path,
                   "更新 " + file_path +
                       " 失败，该文件可能已经损坏，您可以尝试删除该文件并重新执行更新命令\n" +
                       e.what());
  }
}

}  // namespace tessera_plus::bundle
