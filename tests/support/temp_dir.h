// A fresh temporary directory per test, removed with everything in it afterwards.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace tessera_plus::testing {

class TempDir {
 public:
  TempDir();
  // Under `parent` instead of the system's temporary directory.
  explicit TempDir(const std::filesystem::path& parent);
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::string operator/(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

// The whole content of `path` (bytes as stored); empty when it cannot be read.
std::string read_file(const std::string& path);
// The lines of `path`, without their line ends.
std::vector<std::string> read_lines(const std::string& path);

// Runs `/usr/bin/python3 -c <script>` with `args` and returns its exit status; standard output
// goes to `output` when given.
int run_python(const std::string& script, const std::string& args = "",
               std::string* output = nullptr);

}  // namespace tessera_plus::testing
