// For the file-reader fuzzers: the input bytes as a file in a private temporary directory.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>

namespace tessera_plus::bundle::fuzz {

// `folder` is the file's parent directory name (the minute-bar checker reads it).
inline std::string write_input(const std::uint8_t* data, std::size_t size,
                               const std::string& folder) {
  static const std::string dir = [&] {
    std::string tmpl = (std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "/tmp");
    tmpl += "/tessera_fuzz_XXXXXX";
    std::string made = ::mkdtemp(tmpl.data()) ? tmpl : std::string("/tmp");
    std::string sub = made + "/" + folder;
    ::mkdir(sub.c_str(), 0700);
    return sub;
  }();
  const std::string path = dir + "/000001.XSHE.h5";
  std::ofstream(path, std::ios::binary | std::ios::trunc)
      .write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  return path;
}

}  // namespace tessera_plus::bundle::fuzz
