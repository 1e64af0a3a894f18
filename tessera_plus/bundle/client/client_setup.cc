#include "tessera_plus/bundle/client/client_setup.h"

#include "tessera_plus/base/warnings.h"
#include "tessera_plus/bundle/client/source.h"
#include "tessera_plus/market/client.h"

namespace tessera_plus::bundle {
namespace {

void init_quietly(bool enable_bjse) {
  SuppressWarnings quiet;
  if (!tallow::has_backend()) install_client_source(tallow::RetryPolicy::from_environment());
  tallow::init(enable_bjse);
}

}  // namespace

void install_client_source(const tallow::RetryPolicy& policy) {
  if (tallow::has_backend()) return;
  tallow::install_backend(
      std::make_shared<tallow::RetryingBackend>(source_from_environment(), policy));
}

void _init_tallow(bool enable_bjse) { init_quietly(enable_bjse); }

void _switch_of_bjse(bool tag) { init_quietly(tag); }

}  // namespace tessera_plus::bundle
