#include "tessera_plus/base/version.h"

#include "tessera_plus/base/version_info.h"

namespace tessera_plus {

std::string_view project_version() noexcept { return TESSERA_PLUS_VERSION; }

std::string_view build_commit() noexcept { return TESSERA_PLUS_COMMIT; }

}  // namespace tessera_plus
