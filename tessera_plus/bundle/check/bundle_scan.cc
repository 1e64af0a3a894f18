#include "tessera_plus/bundle/check/bundle_scan.h"

#include <sys/stat.h>

#include "tessera_plus/bundle/store/bundle_layout.h"
#include "tessera_plus/bundle/store/unfinished_files.h"

namespace tessera_plus::bundle::check_detail {

void finish_interrupted_updates(const std::string& data_bundle_path, std::ostream& out) {
  const std::filesystem::path bundle = bundle_dir(data_bundle_path);
  if (!path_exists(bundle.string())) return;
  for (const UnfinishedFile& file : recover_unfinished_files(bundle)) {
    out << unfinished_file_line(file) << '\n';
  }
}

void add_odd_entries(const std::vector<OddEntry>& odd, CheckFindings& findings) {
  for (const OddEntry& entry : odd) findings.add_locked(entry.path, entry.reason);
}

bool path_exists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

std::string folder_of(const std::string& path) {
  std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return {};
  std::string parent = path.substr(0, slash);
  return parent.substr(parent.rfind('/') + 1);
}

}  // namespace tessera_plus::bundle::check_detail
