// Reporting a check's findings and, on the user's word, deleting the broken files so that the next
// update rebuilds them.
#pragma once

#include <iostream>
#include <string>
#include <vector>

#include "tessera_plus/base/errors.h"

namespace tessera_plus::bundle {

// Standard input ended where an answer was expected.
class EOFError : public Error {
 public:
  using Error::Error;
};

// What a check found, before anything is reported or deleted: the broken files and the files
// that were locked or denied, each in the order checked. `checked` is false when the check stopped
// before looking at any file (no calendar, no files); its message is then printed already.
struct CheckFindings {
  bool checked = false;
  std::vector<std::string> broken{};
  std::vector<std::string> locked{};
};

// Prints the summary of a check of `frequency` data ("分钟" or "tick") to `out`. When anything was
// found, lists the names, asks "是否删除异常数据(yes/no):" and reads one line from `in`; "yes"/"y"
// (any case, nothing else on the line) deletes every file of `error_file_path_list` with a
// progress bar on standard error. Files of `blocking_or_permision_error` are never deleted.
//
// EOFError when `in` ends before an answer, with nothing deleted. A file that cannot be deleted
// throws the operating system's error; files deleted before it stay deleted.
void deal_with_check_result(const std::vector<std::string>& error_file_path_list,
                            const std::vector<std::string>& blocking_or_permision_error,
                            const std::string& frequency, std::istream& in = std::cin,
                            std::ostream& out = std::cout);

}  // namespace tessera_plus::bundle
