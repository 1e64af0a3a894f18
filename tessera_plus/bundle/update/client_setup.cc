#include "tessera_plus/bundle/update/client_setup.h"

#include "tessera_plus/interfaces/tallow/client.h"
#include "tessera_plus/interfaces/tessera/warnings.h"

namespace tessera_plus::bundle {
namespace {

void init_quietly(bool enable_bjse) {
  tessera::SuppressWarnings quiet;
  tallow::init(enable_bjse);
}

}  // namespace

void _init_tallow(bool enable_bjse) { init_quietly(enable_bjse); }

void _switch_of_bjse(bool tag) { init_quietly(tag); }

}  // namespace tessera_plus::bundle
