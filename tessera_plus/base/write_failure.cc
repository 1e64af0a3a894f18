#include "tessera_plus/base/write_failure.h"

#include <cerrno>

namespace tessera_plus {
namespace {

const char* advice_for(int error_number) {
  switch (error_number) {
    case ENOSPC:
    case EDQUOT:
      return "磁盘空间不足，请清理磁盘后重新执行更新命令";
    case 0:
    case EACCES:
    case EPERM:
    case EAGAIN:
    case EBUSY:
    case EROFS:
      return "请检查文件的权限以及是否被其他进程占用";
    default:
      return "读写文件时发生 I/O 错误，请检查磁盘后重新执行更新命令";
  }
}

}  // namespace

void with_write_advice(const std::function<void()>& body) {
  try {
    body();
  } catch (const OSError& e) {
    raise_os_error(e.error_number(), std::string(advice_for(e.error_number())) + "\n" + e.what());
  }
}

std::string describe_write_failure(const std::string& file, const OSError& error) {
  return "更新 " + file + " 失败，" + advice_for(error.error_number()) + "\n" + error.what();
}

}  // namespace tessera_plus
