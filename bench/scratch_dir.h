// A fresh directory for a benchmark's files, removed with everything in it when the benchmark is
// done with it.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

namespace tessera_plus::bench {

class ScratchDir {
 public:
  // "<parent>/<prefix>.XXXXXX"; the system's temporary directory unless the benchmark must measure
  // a real disk (fsync costs nothing on a tmpfs /tmp). A benchmark without its directory is
  // meaningless, so failing to make one aborts.
  explicit ScratchDir(const std::string& prefix, const std::filesystem::path& parent =
                                                     std::filesystem::temp_directory_path()) {
    std::string pattern = (parent / (prefix + ".XXXXXX")).string();
    if (!::mkdtemp(pattern.data())) std::abort();
    path_ = pattern;
  }
  ~ScratchDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::string operator/(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

}  // namespace tessera_plus::bench
