// A fresh temporary directory per test, removed with everything in it afterwards.
#pragma once

#include <filesystem>
#include <string>

namespace tessera_plus::testing {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::string operator/(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

// Runs `/usr/bin/python3 -c <script>` with `args` and returns its exit status; standard output
// goes to `output` when given.
int run_python(const std::string& script, const std::string& args = "",
               std::string* output = nullptr);

}  // namespace tessera_plus::testing
