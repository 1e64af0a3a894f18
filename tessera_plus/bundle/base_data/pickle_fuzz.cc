// Any bytes given to the pickle reader either load or fail with ValueError, within its limits.
#include <cstddef>
#include <cstdint>
#include <string>

#include "tessera_plus/base/errors.h"
#include "tessera_plus/bundle/base_data/pickle.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  try {
    tessera_plus::bundle::pickle_loads(std::string(reinterpret_cast<const char*>(data), size));
  } catch (const tessera_plus::ValueError&) {
  }
  return 0;
}
