// Brings one instrument's minute-bar file up to date: creates, extends, repairs or rebuilds it.
#pragma once

#include "tessera_plus/bundle/store/write_options.h"
#include "tessera_plus/bundle/update/writer.h"

namespace tessera_plus::bundle {

// `request.path` is the minute-bar directory (bundle/h5); the file goes to its class
// sub-directory. Runs as a worker task: failures while the file is open are logged, clear the
// shared flag and come back as a failed result (write_guard.h); earlier failures (an unknown
// instrument, a service error while fetching a new file) propagate. `options` say how many threads
// compress the file's chunks (deflate_threads).
WriteResult _append_h5(const WriteRequest& request, const WriteOptions& options = {});

}  // namespace tessera_plus::bundle
