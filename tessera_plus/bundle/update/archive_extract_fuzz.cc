// Any bytes as the sample archive: extraction ends with ValueError or OSError or succeeds, and
// never writes outside its destination.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "tessera_plus/base/errors.h"
#include "tessera_plus/bundle/update/archive_extract.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  namespace fs = std::filesystem;
  static const fs::path root = [] {
    std::string tmpl = fs::temp_directory_path() / "tessera_archive_fuzz_XXXXXX";
    return fs::path(::mkdtemp(tmpl.data()));
  }();
  const fs::path archive = root / "in.tar.bz2";
  const fs::path dest = root / "dest";
  std::ofstream(archive, std::ios::binary | std::ios::trunc)
      .write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  fs::remove_all(dest);
  fs::create_directory(dest);
  try {
    tessera_plus::bundle::_extract_tar_bz2(archive.string(), dest.string());
  } catch (const tessera_plus::Error&) {
  }
  // Only the archive and the destination may exist beside each other.
  for (const auto& entry : fs::directory_iterator(root)) {
    if (entry.path() != archive && entry.path() != dest) std::abort();
  }
  return 0;
}
