// The module's record types and constants, in their fixed order, and the two small operations that
// the minute-bar and tick writers share. Each concern has its own header; this one gathers them.
#pragma once

#include "tessera_plus/bundle/store/compression.h"
#include "tessera_plus/bundle/store/dates.h"
#include "tessera_plus/bundle/store/instrument_classes.h"
#include "tessera_plus/bundle/store/records.h"
#include "tessera_plus/bundle/store/remove.h"

namespace tessera_plus::bundle {

inline constexpr int REBUILD_COMFIRM_RETRY_TIMES = 3;

// Trading dates per tick request: a new file's history is fetched in batches of this many days.
inline constexpr int TICK_DATE_CHUNK_SIZE = 100;

}  // namespace tessera_plus::bundle
