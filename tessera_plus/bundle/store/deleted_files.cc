#include "tessera_plus/bundle/store/deleted_files.h"

#include <unistd.h>

#include <cerrno>
#include <map>
#include <sstream>

#include "tessera_plus/base/errors.h"
#include "tessera_plus/base/publish.h"
#include "tessera_plus/base/regular_file.h"

namespace tessera_plus::bundle {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kHeader = "# files deleted by a check; the next update rebuilds them";
// Far above any bundle's instruments (a few dozen bytes each), far below what memory minds.
constexpr std::size_t kMaxRecordBytes = std::size_t{64} << 20;

// The relative paths of the record of `bundle`; none when there is no record.
std::set<std::string> read_relatives(const fs::path& bundle) {
  std::string text;
  try {
    text = read_regular_file(deleted_files_record(bundle).string(), kMaxRecordBytes);
  } catch (const OSError& e) {
    if (e.error_number() == ENOENT) return {};
    throw;
  }
  std::set<std::string> relatives;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    // Only what the record can rebuild is kept: a hand-edited or damaged line is dropped.
    const auto file = locate_instrument_file(bundle / line);
    if (file && file->relative == line) relatives.insert(line);
  }
  return relatives;
}

void write_relatives(const fs::path& bundle, const std::set<std::string>& relatives) {
  const fs::path record = deleted_files_record(bundle);
  if (relatives.empty()) {
    if (::unlink(record.c_str()) != 0 && errno != ENOENT) {
      throw_os_error(errno, "cannot remove " + record.string());
    }
    return;
  }
  std::string text(kHeader);
  text += '\n';
  for (const std::string& relative : relatives) text += relative + '\n';
  write_file_atomically(record, text);
}

}  // namespace

void record_deleted_files(const std::vector<std::string>& files) {
  std::map<fs::path, std::set<std::string>> by_bundle;
  for (const std::string& path : files) {
    if (path.find('\n') != std::string::npos) continue;
    if (const auto file = locate_instrument_file(path)) {
      by_bundle[file->bundle].insert(file->relative);
    }
  }
  for (const auto& [bundle, added] : by_bundle) {
    std::set<std::string> relatives = read_relatives(bundle);
    const std::size_t before = relatives.size();
    relatives.insert(added.begin(), added.end());
    if (relatives.size() != before) write_relatives(bundle, relatives);
  }
}

std::vector<BundleFile> read_deleted_files(const fs::path& bundle) {
  std::vector<BundleFile> files;
  for (const std::string& relative : read_relatives(bundle)) {
    files.push_back(*locate_instrument_file(bundle / relative));
  }
  return files;
}

void forget_deleted_files(const fs::path& bundle, const std::set<std::string>& relatives) {
  if (relatives.empty()) return;
  std::set<std::string> kept = read_relatives(bundle);
  const std::size_t before = kept.size();
  for (const std::string& relative : relatives) kept.erase(relative);
  if (kept.size() != before) write_relatives(bundle, kept);
}

}  // namespace tessera_plus::bundle
