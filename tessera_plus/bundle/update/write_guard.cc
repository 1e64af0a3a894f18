#include "tessera_plus/bundle/update/write_guard.h"

#include <sys/stat.h>

#include "tessera_plus/base/errors.h"
#include "tessera_plus/base/logger.h"
#include "tessera_plus/base/run_report.h"
#include "tessera_plus/base/settings.h"
#include "tessera_plus/base/shared_flag.h"
#include "tessera_plus/base/write_failure.h"
#include "tessera_plus/bundle/store/bundle_layout.h"
#include "tessera_plus/market/types.h"

namespace tessera_plus::bundle {
namespace {

// `message` goes to the log; the result carries what follows the path and its advice, with the
// error's first line joined to it.
WriteResult failure(const std::string& file_path, const std::string& message) {
  system_log::error(message);
  std::string reason = message.substr(("更新 " + file_path + " ").size());
  if (std::size_t end = reason.find('\n'); end != std::string::npos) reason[end] = ' ';
  sval().set_value(false);
  return {.outcome = WriteResult::Outcome::kFailed,
          .file = file_path,
          .reason = one_line(reason, reason.size())};
}

}  // namespace

FileState FileState::of(const std::string& file_path) {
  struct stat st {};
  if (::stat(file_path.c_str(), &st) != 0) return {};
  return {.exists = true, .size = std::int64_t(st.st_size)};
}

WriteResult outcome_since(const std::string& file_path, const FileState& before,
                          StoredCounts stored) {
  const FileState after = FileState::of(file_path);
  const bool changed = stored.rows > 0 || !stored.revised_days.empty() || after != before;
  return {.outcome = changed ? WriteResult::Outcome::kChanged : WriteResult::Outcome::kUnchanged,
          .file = file_path,
          .rows = stored.rows,
          .bytes = after.size - before.size,
          .revised_days = std::move(stored.revised_days)};
}

WriteResult guard_file_update(const std::string& file_path, const FileState& before,
                              const std::function<StoredCounts()>& body, bool held_comes_back,
                              const h5::CommitGroup* group) {
  // No advice to delete what is no data file: a link loop, a FIFO, a directory named *.h5.
  if (const std::optional<std::string> odd = odd_instrument_file(file_path)) {
    return failure(file_path,
                   "更新 " + file_path + " 失败：" + *odd + "；它不是数据文件，未更新，也未删除");
  }
  try {
    StoredCounts stored = body();
    if (group && group->holds(file_path)) {
      return {.outcome = WriteResult::Outcome::kPending,
              .file = file_path,
              .rows = stored.rows,
              .before = before,
              .revised_days = std::move(stored.revised_days)};
    }
    return outcome_since(file_path, before, std::move(stored));
  } catch (const ExitRequest&) {
    throw;
  } catch (const BlockingIOError& e) {
    if (held_comes_back) {
      return {.outcome = WriteResult::Outcome::kHeld,
              .file = file_path,
              .reason = one_line(e.what(), 400)};
    }
    return failure(file_path, describe_write_failure(file_path, e));
  } catch (const OSError& e) {
    return failure(file_path, describe_write_failure(file_path, e));
  } catch (const tallow::PermissionDenied&) {
    return failure(file_path, "更新 " + file_path +
                                  " 失败，您没有相关数据的使用权限，可联系Larkspur开通相关权限：" +
                                  support_phone());
  } catch (const tallow::ServiceUnavailable& e) {
    // The file is fine; advice to delete it would make a network error cost the user data.
    return failure(file_path,
                   "更新 " + file_path + " 失败，数据服务暂时不可用：" + one_line(e.what(), 300));
  } catch (const std::exception& e) {
    return failure(file_path,
                   "更新 " + file_path +
                       " 失败，该文件可能已经损坏，您可以尝试删除该文件并重新执行更新命令\n" +
                       e.what());
  }
}

WriteResult commit_outcome(const WriteResult& pending, const h5::CommitGroup::Outcome* failed) {
  if (failed && failed->error_number != 0) {
    try {
      throw_os_error(failed->error_number, failed->error_text);
    } catch (const OSError& e) {
      return failure(pending.file, describe_write_failure(pending.file, e));
    }
  }
  StoredCounts stored(pending.rows);
  stored.revised_days = pending.revised_days;
  return outcome_since(pending.file, pending.before, std::move(stored));
}

}  // namespace tessera_plus::bundle
