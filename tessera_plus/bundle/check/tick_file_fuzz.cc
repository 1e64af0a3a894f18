// Any bytes as a tick file: the checker's per-file inspection ends with a finding or with one of
// the library's errors, never with a crash.
#include <sys/stat.h>

#include <cstdint>
#include <string>
#include <vector>

#include "tessera_plus/base/errors.h"
#include "tessera_plus/bundle/check/file_sorter.h"
#include "tessera_plus/bundle/check/fuzz_file_internal.h"
#include "tessera_plus/bundle/check/tick_checker.h"
#include "tessera_plus/h5/fuzz_internal.h"

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  tessera_plus::h5::fuzz::keep_free_lists();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tessera_plus;
  static const std::vector<std::string> calendar = {"20200102", "20200103", "20200106"};
  static const std::vector<std::string> suspended = {"20200103"};
  const std::string path = bundle::fuzz::write_input(data, size, "ticks");
  try {
    bundle::check_detail::inspect_tick_file(path, calendar, suspended);
  } catch (const Error&) {
  }
  return 0;
}
