#include "tessera_plus/bundle/check/check_result.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <optional>

#include <fmt/format.h>

#include "tessera_plus/base/interrupted.h"
#include "tessera_plus/base/progress.h"
#include "tessera_plus/base/stop_request.h"
#include "tessera_plus/bundle/store/deleted_files.h"

namespace tessera_plus::bundle {
namespace {

// Writes one message as one printed line: the text and a line break.
void print(std::ostream& out, const std::string& text) { out << text << '\n'; }

// The instrument name of a file: its last path component up to the first ".h5".
std::string symbol_of(const std::string& path) {
  std::string name = path.substr(path.rfind('/') + 1);
  return name.substr(0, name.find(".h5"));
}

// A name quoted the way the framework's users read lists of names: in single quotes,
// or in double quotes when it holds a single quote and no double quote; backslashes, the chosen
// quote and control characters escaped.
std::string quoted(const std::string& name) {
  const bool use_double =
      name.find('\'') != std::string::npos && name.find('"') == std::string::npos;
  const char quote = use_double ? '"' : '\'';
  std::string text(1, quote);
  for (unsigned char c : name) {
    if (c == '\\' || c == quote) {
      text += '\\';
      text += static_cast<char>(c);
    } else if (c == '\n') {
      text += "\\n";
    } else if (c == '\r') {
      text += "\\r";
    } else if (c == '\t') {
      text += "\\t";
    } else if (c < 0x20 || c == 0x7f) {
      text += fmt::format("\\x{:02x}", c);
    } else {
      text += static_cast<char>(c);
    }
  }
  return text + quote;
}

// ['000001.XSHE', '600000.XSHG']
std::string render_names(const std::vector<std::string>& paths) {
  std::string text = "[";
  for (std::size_t i = 0; i < paths.size(); ++i) {
    if (i > 0) text += ", ";
    text += quoted(symbol_of(paths[i]));
  }
  return text + "]";
}

std::string read_answer(std::istream& in, std::ostream& out) {
  out << "是否删除异常数据(yes/no):" << std::flush;
  std::string line;
  if (!std::getline(in, line)) {
    if (stop_requested()) {
      // The stop line that follows gets a line of its own, not the end of the prompt's.
      out << '\n' << std::flush;
      Interrupted stopped(stop_signal());
      stopped.set_done("检查已完成，未删除任何文件");
      throw stopped;
    }
    throw EOFError("no answer on standard input: use --yes to delete or --json to only report");
  }
  // Only ASCII letters can make up a valid answer, so ASCII lower-casing decides as well as a
  // full Unicode one would.
  std::transform(line.begin(), line.end(), line.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return line;
}

// A file as the check judged it. The interactive check takes the bundle's lock only after the
// yes, and an update that ran while the question waited may have rebuilt a broken file: one that
// is no longer what was judged is not deleted.
struct FileStamp {
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = 0;
  std::int64_t modified_ns = 0, changed_ns = 0;
  bool operator==(const FileStamp&) const = default;
};

std::optional<FileStamp> stamp_of(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return std::nullopt;
  const auto ns = [](const timespec& t) { return t.tv_sec * 1'000'000'000LL + t.tv_nsec; };
  return FileStamp{st.st_dev, st.st_ino, st.st_size, ns(st.st_mtim), ns(st.st_ctim)};
}

std::vector<std::optional<FileStamp>> stamps_of(const std::vector<std::string>& paths) {
  std::vector<std::optional<FileStamp>> stamps;
  for (const std::string& path : paths) stamps.push_back(stamp_of(path));
  return stamps;
}

// The files of `paths` still as `checked` says, each other one named on `out`.
std::vector<std::string> unchanged_since(const std::vector<std::string>& paths,
                                         const std::vector<std::optional<FileStamp>>& checked,
                                         std::ostream& out) {
  std::vector<std::string> unchanged;
  for (std::size_t i = 0; i < paths.size(); ++i) {
    if (stamp_of(paths[i]) == checked[i]) {
      unchanged.push_back(paths[i]);
    } else {
      print(out, fmt::format("\n{} 在检查之后已被其他程序更新，未删除", paths[i]));
    }
  }
  return unchanged;
}

void delete_files(const std::vector<std::string>& paths) {
  ProgressBar bar(paths.size(), "删除的异常文件");
  for (const std::string& path : paths) {
    if (::unlink(path.c_str()) != 0) throw_os_error(errno, "cannot delete " + path);
    bar.advance();
  }
}

// Prints the summary and the lists; false when there is nothing to ask about.
bool print_findings(const std::vector<std::string>& error_file_path_list,
                    const std::vector<std::string>& blocking_or_permision_error,
                    const std::string& frequency, std::ostream& out) {
  const std::size_t len_err = error_file_path_list.size();
  const std::size_t len_blocking_or_permission_error = blocking_or_permision_error.size();
  if (len_err == 0 && len_blocking_or_permission_error == 0) {
    print(out, "\n检测完成：" + frequency + "数据质量良好！");
    return false;
  }
  print(out,
        fmt::format("\n检测完成：共有{}个标的{}数据存在异常，{}个文件被其他进程占用或没有权限。",
                    len_err, frequency, len_blocking_or_permission_error));
  if (len_err > 0) {
    print(out, fmt::format("数据异常标的如下:\n{}\n", render_names(error_file_path_list)));
  }
  if (len_blocking_or_permission_error > 0) {
    print(out, fmt::format("被其他进程占用或没有权限的文件如下:\n{}\n",
                           render_names(blocking_or_permision_error)));
  }
  return true;
}

void delete_broken(const std::vector<std::string>& error_file_path_list, std::ostream& out) {
  // Counted before anything is deleted: the completion line reports what was asked for.
  const std::size_t len_err = error_file_path_list.size();
  // The last moment a stop leaves the bundle untouched; once begun, the deletions are all done.
  throw_if_stopped();
  print(out, "\n准备删除异常数据！");
  out.flush();  // the progress bar goes to standard error; keep the console in order
  // Recorded first: a file gone without its entry would never be rebuilt, while an entry whose
  // file stays (the deletion failed) only has the next update extend that file as usual.
  record_deleted_files(error_file_path_list);
  delete_files(error_file_path_list);
  print(out, fmt::format("\n删除完成！共删除{}个标的。", len_err));
}

}  // namespace

void CheckFindings::add_broken(const std::string& path, std::string reason) {
  broken.push_back(path);
  broken_reasons.push_back(std::move(reason));
}

void CheckFindings::add_locked(const std::string& path, std::string reason) {
  locked.push_back(path);
  locked_reasons.push_back(std::move(reason));
}

void deal_with_check_result(const std::vector<std::string>& error_file_path_list,
                            const std::vector<std::string>& blocking_or_permision_error,
                            const std::string& frequency, std::istream& in, std::ostream& out,
                            const std::function<void()>& before_deleting) {
  if (!print_findings(error_file_path_list, blocking_or_permision_error, frequency, out)) return;
  const std::vector<std::optional<FileStamp>> checked = stamps_of(error_file_path_list);
  const std::string is_ok = read_answer(in, out);
  if (is_ok == "yes" || is_ok == "y") {
    if (before_deleting) before_deleting();
    delete_broken(unchanged_since(error_file_path_list, checked, out), out);
  } else if (is_ok == "no" || is_ok == "n") {
    print(out, "\n异常数据未删除！");
  } else {
    print(out, "\n输入异常！异常数据未删除!");
  }
}

void delete_check_result(const std::vector<std::string>& error_file_path_list,
                         const std::vector<std::string>& blocking_or_permision_error,
                         const std::string& frequency, std::ostream& out) {
  if (!print_findings(error_file_path_list, blocking_or_permision_error, frequency, out)) return;
  delete_broken(error_file_path_list, out);
}

void handle_check_findings(const CheckFindings& findings, const std::string& frequency,
                           const CheckRequest& request) {
  // A check that found no file to look at has said so already.
  if (!findings.checked) return;
  switch (request.findings) {
    case CheckRequest::Findings::kAsk:
      deal_with_check_result(findings.broken, findings.locked, frequency, *request.in, *request.out,
                             request.before_deleting);
      break;
    case CheckRequest::Findings::kDelete:
      delete_check_result(findings.broken, findings.locked, frequency, *request.out);
      break;
    case CheckRequest::Findings::kReport:
      print_findings(findings.broken, findings.locked, frequency, *request.out);
      break;
    case CheckRequest::Findings::kReturn:
      break;
  }
}

}  // namespace tessera_plus::bundle
