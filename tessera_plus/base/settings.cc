#include "tessera_plus/base/settings.h"

#include <cstdlib>

namespace tessera_plus {
namespace {

std::string setting(const char* name, const char* fallback) {
  const char* value = std::getenv(name);
  return value && *value ? value : fallback;
}

}  // namespace

std::string support_phone() { return setting("TESSERA_SUPPORT_PHONE", "400-820-5528"); }

std::string sample_server_base() {
  std::string base = setting("TESSERA_SAMPLE_SERVER", "http://bundle.larkspur.example");
  while (!base.empty() && base.back() == '/') base.pop_back();
  return base;
}

}  // namespace tessera_plus
