#include "tessera_plus/bundle/update/parallel_updater_internal.h"

#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <tuple>

#include <fmt/format.h>

#include "tessera_plus/base/errors.h"
#include "tessera_plus/base/process_pool.h"
#include "tessera_plus/base/publish.h"
#include "tessera_plus/base/run_report.h"
#include "tessera_plus/base/shared_flag.h"
#include "tessera_plus/bundle/store/bundle_layout.h"
#include "tessera_plus/bundle/store/constants.h"
#include "tessera_plus/bundle/update/merge_tags.h"

namespace tessera_plus::bundle::internal {
namespace {

void create_directories(const std::string& path) {
  std::error_code ec;
  std::filesystem::create_directories(path, ec);
  if (ec) throw_os_error(ec.value(), "cannot create directory " + path);
}

// Leftovers of killed builds are found here, with one listing per class directory for the whole
// run, rather than by each writer (a listing per file grows quadratically with the directory).
void sweep_abandoned_builds(const std::string& path) {
  namespace fs = std::filesystem;
  remove_abandoned_builds(path);
  std::error_code ec;
  for (fs::directory_iterator it(path, ec), end; !ec && it != end; it.increment(ec)) {
    if (it->is_directory(ec)) remove_abandoned_builds(it->path());
  }
}

// What identifies a version of the instrument's files: size, modification time and inode of each
// place the writer may have put one (zeros where there is none), the size first.
constexpr std::size_t kStateFields = 4;
std::vector<std::int64_t> file_state(const UpdateKind& kind, const std::string& path,
                                     const std::string& id) {
  std::vector<std::int64_t> state;
  for (std::string_view dir : kind.file_directories) {
    struct stat st {};
    std::string file = instrument_file(class_dir(path, dir), id).string();
    if (::stat(file.c_str(), &st) != 0) st = {};
    state.insert(state.end(), {std::int64_t(st.st_size), std::int64_t(st.st_mtim.tv_sec),
                               std::int64_t(st.st_mtim.tv_nsec), std::int64_t(st.st_ino)});
  }
  return state;
}

// Runs the writer for one instrument in its worker and counts the outcome. A failure was counted
// where it was reported (the writer's guard, or the pool for an error that escaped).
void write_and_count(const UpdateKind& kind, const std::string& path, const std::string& id,
                     bool rebuild) {
  const std::uint64_t failures_before = tessera::failures_recorded_here();
  const std::vector<std::int64_t> before = file_state(kind, path, id);
  kind.writer(id, path, std::nullopt, MIN_START_DATE, rebuild);
  if (tessera::failures_recorded_here() == failures_before) {
    const std::vector<std::int64_t> after = file_state(kind, path, id);
    tessera::record_updated(after != before);
    std::int64_t grown = 0;
    for (std::size_t i = 0; i < after.size(); i += kStateFields) grown += after[i] - before[i];
    tessera::record_bytes(grown);
  }
}

}  // namespace

std::string render_id_set(const std::set<std::string>& ids) {
  if (ids.empty()) return "set()";
  constexpr std::size_t kShown = 6;
  std::string text = "{";
  std::size_t n = 0;
  for (const std::string& id : ids) {
    if (n == kShown) {
      text += ", ...";
      break;
    }
    text += (n++ == 0 ? "'" : ", '") + id + "'";
  }
  return text + "}";
}

bool run_parallel_update(const UpdateKind& kind, const std::string& path,
                         const std::vector<std::string>& tags, bool with_derivatives,
                         int concurrency, bool rebuild, bool enable_bjse) {
  std::set<std::string> ids = _merge_tags(tags, with_derivatives, enable_bjse);
  if (kind.creates_path) create_directories(path);
  fmt::print(stdout, "{}\n",
             fmt::format(fmt::runtime(kind.start_line), ids.size(), render_id_set(ids)));
  std::fflush(stdout);
  sweep_abandoned_builds(path);

  tessera::SharedFlag succeed = tessera::SharedFlag::create(true);
  tessera::ProgressedProcessPoolExecutor pool(concurrency, tessera::process_init,
                                              std::tuple{succeed});
  for (const std::string& id : ids) {
    pool.submit(id, [&kind, &path, id, rebuild] { write_and_count(kind, path, id, rebuild); });
  }
  // Waits for every task; the flag is read only afterwards. An error that escaped a writer, or a
  // worker that died, left the flag alone, so the pool's count decides as well: such an instrument
  // was not written either.
  pool.close();
  return succeed.value() && pool.failed() == 0;
}

}  // namespace tessera_plus::bundle::internal
