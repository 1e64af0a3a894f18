// (Re)initialising the market-data client with the Beijing-exchange switch.
#pragma once

#include "tessera_plus/market/retrying_backend.h"

namespace tessera_plus::bundle {

// Unless the client has a source already, installs the one TALLOW_SOURCE names behind the retry
// layer with `policy`. Main process, before any worker pool: the retry layer's rate limit and
// counters must be shared with the workers. _init_tallow does this with the environment's policy.
void install_client_source(const tallow::RetryPolicy& policy);

// Brings the client up before work that reads from the service in this process (installing the
// source first, as install_client_source does, when there is none). Warnings emitted
// while the client initialises are discarded; the earlier handling is back on every exit.
void _init_tallow(bool enable_bjse = false);

// Turns the Beijing-exchange switch on or off by initialising the client again.
void _switch_of_bjse(bool tag);

}  // namespace tessera_plus::bundle
