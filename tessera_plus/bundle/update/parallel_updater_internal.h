// The body shared by update_minbar and update_tick, with the writer as a parameter; defined in
// parallel_updater.cc and declared apart so that tests can hand in a writer of their own.
#pragma once

#include <functional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "tessera_plus/bundle/update/update_request.h"
#include "tessera_plus/bundle/update/writer.h"

namespace tessera_plus::bundle::internal {

// The signature of _append_h5 and _append_h5_tick.
using Writer = std::function<WriteResult(const WriteRequest& request)>;

struct UpdateKind {
  Writer writer;
  // Filled with the number of ids and render_id_set of them.
  std::string_view start_line;
  // Whether `path` is created (with its parents) before the start line.
  bool creates_path;
  // Tick files rather than minute-bar files: which of the check's deleted files it rebuilds.
  bool tick = false;
  // What its progress bar counts.
  std::string_view progress_label = "";
};

// {'a', 'b'}: ascending, at most six ids, then ", ..." when there are more; "set()" when empty.
std::string render_id_set(const std::set<std::string>& ids);

// Resolves `tags` with the request's selection switches, prints the start line, and runs
// kind.writer({id, path, no file name, MIN_START_DATE, request.rebuild}) for every id in a pool of
// `request.concurrency` worker processes, whose initializer publishes one shared flag as `sval`.
// Files of those ids that a check deleted are rebuilt with the rest; once the pool is done the
// bundle's record forgets those that are back, and one line says how many were rebuilt
// (DeletedFileRebuilds).
// Each worker records its writer's result in the published run report (published_run_report),
// where the pool records the errors that escaped a writer and the workers that died; the update
// is true when that report counts no new failure. Errors before the pool runs (the service, the
// directory, a `concurrency` below 1) propagate.
bool run_parallel_update(const UpdateKind& kind, const std::string& path,
                         const std::vector<std::string>& tags, const UpdateRequest& request);

}  // namespace tessera_plus::bundle::internal
