// Any bytes given to the NPY reader and the calendar check either pass or fail with ValueError.
#include <cstddef>
#include <cstdint>
#include <string>

#include "tessera_plus/base/errors.h"
#include "tessera_plus/bundle/base_data/npy_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tessera_plus;
  try {
    std::size_t dimensions = 0;
    const auto values = bundle::parse_npy_int_array(
        std::string(reinterpret_cast<const char*>(data), size), "fuzz.npy", &dimensions);
    bundle::check_trading_calendar(values, dimensions, "fuzz.npy");
  } catch (const ValueError&) {
  }
  return 0;
}
