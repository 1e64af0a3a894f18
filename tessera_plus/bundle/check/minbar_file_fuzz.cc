// Any bytes as a minute-bar file: the checker's per-file inspection ends with a finding or with
// one of the library's errors, never with a crash or an unbounded allocation.
#include <sys/stat.h>

#include <cstdint>
#include <vector>

#include "tessera_plus/base/errors.h"
#include "tessera_plus/bundle/check/file_sorter.h"
#include "tessera_plus/bundle/check/fuzz_file_internal.h"
#include "tessera_plus/bundle/check/minbar_checker.h"
#include "tessera_plus/h5/fuzz_internal.h"

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  tessera_plus::h5::fuzz::keep_free_lists();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tessera_plus;
  static const std::vector<std::int64_t> calendar = {20200102, 20200103, 20200106, 20200107};
  const std::string path = bundle::fuzz::write_input(data, size, "future");
  try {
    bundle::check_detail::inspect_minbar_file(path, calendar);
  } catch (const Error&) {
  }
  return 0;
}
