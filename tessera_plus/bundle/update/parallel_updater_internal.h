// The body shared by update_minbar and update_tick, with the writer as a parameter.
#pragma once

#include <functional>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace tessera_plus::bundle::internal {

// The signature of _append_h5 and _append_h5_tick.
using Writer = std::function<void(const std::string& order_book_id, const std::string& path,
                                  const std::optional<std::string>& file_name, int min_start_date,
                                  bool rebuild)>;

struct UpdateKind {
  Writer writer;
  // Filled with the number of ids and render_id_set of them.
  std::string_view start_line;
  // Whether `path` is created (with its parents) before the start line.
  bool creates_path;
  // Where under `path` the writer may put an instrument's file ("" for `path` itself), so that
  // the run can tell an updated instrument from one the writer left unchanged.
  std::vector<std::string_view> file_directories = {""};
};

// {'a', 'b'}: ascending, at most six ids, then ", ..." when there are more; "set()" when empty.
std::string render_id_set(const std::set<std::string>& ids);

// Resolves `tags`, prints the start line, and runs kind.writer(id, path, file name from the id,
// MIN_START_DATE, rebuild) for every id in a pool of `concurrency` worker processes that share one
// success flag. True only when no writer cleared the flag, no error escaped a writer and no worker
// died. Each instrument counts in the run report as updated, unchanged or (through the writer's
// guard or the pool) failed. Errors before the pool runs (the service, the directory, a
// `concurrency` below 1) propagate.
bool run_parallel_update(const UpdateKind& kind, const std::string& path,
                         const std::vector<std::string>& tags, bool with_derivatives,
                         int concurrency, bool rebuild, bool enable_bjse);

}  // namespace tessera_plus::bundle::internal
