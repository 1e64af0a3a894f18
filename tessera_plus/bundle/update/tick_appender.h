// Brings one instrument's tick file up to date: one dataset per trading date.
#pragma once

#include "tessera_plus/bundle/update/writer.h"

namespace tessera_plus::bundle {

// `request.path` is the tick directory (bundle/ticks). Runs as a worker task: failures while the
// file is open are logged, clear the shared flag and come back as a failed result (write_guard.h);
// earlier failures propagate.
WriteResult _append_h5_tick(const WriteRequest& request);

}  // namespace tessera_plus::bundle
