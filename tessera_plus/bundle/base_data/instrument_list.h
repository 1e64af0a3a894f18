// instruments.pk: the bundle's instrument list, a pickled list of dicts of plain values.
#pragma once

#include <string>
#include <vector>

#include "tessera_plus/market/types.h"

namespace tessera_plus::bundle {

std::string instrument_list_bytes(const std::vector<tallow::Instrument>& instruments);

// The records of `path` in stored order; fields missing from a record stay empty. OSError when
// unreadable, ValueError when it is not a plain-data pickle of a list of dicts.
std::vector<tallow::Instrument> read_instrument_list(const std::string& path);

}  // namespace tessera_plus::bundle
