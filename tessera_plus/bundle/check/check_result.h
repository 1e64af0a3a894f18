// Reporting a check's findings and, on the user's word, deleting the broken files so that the next
// update rebuilds them.
#pragma once

#include <cstddef>
#include <functional>
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
// that were locked or denied, each in the order checked, with one line each saying why (the
// reasons run parallel to the paths). `checked` is false when the check stopped before looking at
// any file (no calendar, no files); its message is then printed already.
struct CheckFindings {
  bool checked = false;
  std::size_t files = 0;  // files looked at
  std::vector<std::string> broken{};
  std::vector<std::string> locked{};
  std::vector<std::string> broken_reasons{};
  std::vector<std::string> locked_reasons{};

  void add_broken(const std::string& path, std::string reason);
  void add_locked(const std::string& path, std::string reason);
};

// What the front ends (the command line, Python) ask of a check.
struct CheckRequest {
  // What becomes of the findings once the files are checked.
  enum class Findings {
    kAsk,     // deal_with_check_result: report them, ask on `in`, delete the broken on yes
    kDelete,  // delete_check_result: report them and delete the broken without asking
    kReport,  // report them as kAsk does, without the question: nothing is deleted
    kReturn,  // only return them: nothing is reported, asked or deleted
  };

  // The bundle root (holding bundle/).
  std::string data_bundle_path{};
  // Files read at once, each in its own worker process.
  int jobs = 1;
  Findings findings = Findings::kAsk;
  // The tick check decodes every day, even those its per-user cache vouches for.
  bool full = false;
  // Console messages; the progress bar goes to standard error.
  std::ostream* out = &std::cout;
  // Where the answer to the deletion question is read (kAsk only).
  std::istream* in = &std::cin;
  // Called once the user has answered yes and before anything is deleted (kAsk only): the command
  // line takes the bundle's run lock there, so that a check that only reports takes none. What it
  // throws ends the check with nothing deleted.
  std::function<void()> before_deleting{};
};

// Prints the summary of `frequency` data ("分钟" or "tick") to `out`. When anything was
// found, lists the names, asks "是否删除异常数据(yes/no):" and reads one line from `in`; "yes"/"y"
// (any case, nothing else on the line) deletes every file of `error_file_path_list` with a
// progress bar on standard error, after adding the instrument files among them to their bundle's
// record of deleted files (record_deleted_files), from which the next update rebuilds them. Files
// of `blocking_or_permision_error` are never deleted. `before_deleting`, when given, runs after a
// yes and before the record is written (it takes the bundle's lock); a broken file that is no
// longer the file the check judged (an update rebuilt it while the question waited) is then named
// and kept.
//
// EOFError when `in` ends before an answer, with nothing deleted. A record that cannot be written
// throws the operating system's error before anything is deleted; so does a file that cannot be
// deleted, and files deleted before it stay deleted.
void deal_with_check_result(const std::vector<std::string>& error_file_path_list,
                            const std::vector<std::string>& blocking_or_permision_error,
                            const std::string& frequency, std::istream& in = std::cin,
                            std::ostream& out = std::cout,
                            const std::function<void()>& before_deleting = {});

// The same for unattended runs: prints what the yes answer prints, without the question, and
// deletes the broken files.
void delete_check_result(const std::vector<std::string>& error_file_path_list,
                         const std::vector<std::string>& blocking_or_permision_error,
                         const std::string& frequency, std::ostream& out = std::cout);

// What the checkers do with `findings` of `frequency` data once every file is checked, as
// `request.findings` says.
void handle_check_findings(const CheckFindings& findings, const std::string& frequency,
                           const CheckRequest& request);

}  // namespace tessera_plus::bundle
