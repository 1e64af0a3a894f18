// (Re)initialising the market-data client with the Beijing-exchange switch.
#pragma once

namespace tessera_plus::bundle {

// Brings the client up before work that reads from the service in this process. Warnings emitted
// while the client initialises are discarded; the earlier handling is back on every exit.
void _init_tallow(bool enable_bjse = false);

// Turns the Beijing-exchange switch on or off by initialising the client again.
void _switch_of_bjse(bool tag);

}  // namespace tessera_plus::bundle
