// Any bytes as the sample archive: the install ends with an Error or succeeds, never writes outside
// the bundle directory, and never leaves its staging directory behind.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "tessera_plus/base/errors.h"
#include "tessera_plus/bundle/update/sample_install.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  namespace fs = std::filesystem;
  static const fs::path root = [] {
    std::string tmpl = fs::temp_directory_path() / "tessera_sample_fuzz_XXXXXX";
    return fs::path(::mkdtemp(tmpl.data()));
  }();
  const fs::path archive = root / "in.tar.bz2";
  const fs::path dest = root / "bundle";
  std::ofstream(archive, std::ios::binary | std::ios::trunc)
      .write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  fs::remove_all(dest);
  fs::create_directory(dest);
  try {
    tessera_plus::bundle::install_sample_archive(archive.string(), dest.string());
  } catch (const tessera_plus::Error&) {
  }
  // Only the archive and the bundle directory may exist beside each other, and no staging stays.
  for (const auto& entry : fs::directory_iterator(root)) {
    if (entry.path() != archive && entry.path() != dest) std::abort();
  }
  if (fs::exists(dest / tessera_plus::bundle::kSampleStagingName)) std::abort();
  return 0;
}
