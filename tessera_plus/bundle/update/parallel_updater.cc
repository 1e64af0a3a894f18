#include "tessera_plus/bundle/update/parallel_updater.h"

#include <sched.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <tuple>

#include <fmt/format.h>

#include "tessera_plus/base/console.h"
#include "tessera_plus/base/errors.h"
#include "tessera_plus/base/interrupted.h"
#include "tessera_plus/base/process_pool.h"
#include "tessera_plus/base/publish.h"
#include "tessera_plus/base/run_report.h"
#include "tessera_plus/base/shared_flag.h"
#include "tessera_plus/base/shared_slots.h"
#include "tessera_plus/bundle/update/deleted_rebuilds.h"
#include "tessera_plus/bundle/update/grouped_writes.h"
#include "tessera_plus/bundle/update/held_files.h"
#include "tessera_plus/bundle/update/merge_tags.h"
#include "tessera_plus/bundle/update/minbar_appender.h"
#include "tessera_plus/bundle/update/parallel_updater_internal.h"
#include "tessera_plus/bundle/update/tick_appender.h"
#include "tessera_plus/market/client.h"

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

// Runs in the worker: the writer's answer goes to the run report the main process decides from
// (once its file's group has committed), or, for a file a reader still holds, to `held` for the
// pass's last try. The writer runs in one of the work slots, which it lends out while it waits for
// the service (tallow::client::PacedCalls); the group commit needs none.
void write_and_record(const UpdateKind& kind, WriteRequest request, const HeldFiles& held,
                      GroupedWrites& grouped, const SharedSlots& work_slots) {
  request.commit_group = grouped.group();
  request.lock_deadline = grouped.committing_first(std::move(request.lock_deadline));
  SharedSlots::Hold working = work_slots.take();
  WriteResult result = kind.writer(request);
  if (result.outcome == WriteResult::Outcome::kHeld && !held.set_aside(request.order_book_id)) {
    // No room to set it aside: this try is its last, and fails as such a failure does.
    WriteRequest last = request;
    last.lock_deadline = {};
    last.held_comes_back = false;
    result = kind.writer(last);
  }
  working.release();
  grouped.record(result);
}

// The service calls the run may have waiting at once; one when no source is set up yet (the
// workers then fail at their first call, each as its writer reports it).
int requests_in_flight() {
  return tallow::has_backend() ? tallow::client::requests_in_flight() : 1;
}

// Runs the writer for every id of `ids` in a pool. A file held by a reader is waited for as
// `held` says, then set aside there when `may_set_aside`, and fails otherwise. Each worker commits
// its files in groups, the last one when it has no next file waiting or leaves.
//
// `concurrency` workers compress and write at once, each in a work slot. Once the service has kept
// a caller waiting, as many more workers as the run has requests in flight wait for it meanwhile,
// so that the next files' answers are on their way while one is written; a service that answers at
// once is not worth their forks.
void write_in_pool(const UpdateKind& kind, const UpdateRequest& request, const std::string& path,
                   const std::set<std::string>& ids, const SharedFlag& flag, const HeldFiles& held,
                   bool may_set_aside) {
  // Every worker has its own from its fork; this process's stays empty.
  GroupedWrites grouped;
  const SharedSlots work_slots(std::max(request.concurrency, 1));
  const tallow::client::PacedCalls paced(work_slots);
  ProgressedProcessPoolExecutor pool(request.concurrency, process_init, std::tuple{flag});
  pool.add_workers_when(requests_in_flight(), [] {
    return tallow::has_backend() && tallow::client::calls_have_waited();
  });
  pool.set_progress_label(std::string(kind.progress_label));
  pool.before_worker_idle([&grouped] { grouped.commit(); });
  for (const std::string& id : ids) {
    const WriteRequest write{.order_book_id = id,
                             .path = path,
                             .rebuild = request.rebuild,
                             .lock_deadline = held.deadline(),
                             .held_comes_back = may_set_aside,
                             .recheck_days = request.recheck_days};
    pool.submit(id, [&kind, write, held, &grouped, &work_slots] {
      write_and_record(kind, write, held, grouped, work_slots);
    });
  }
  pool.close();  // waits for every task
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
                         const std::vector<std::string>& tags, const UpdateRequest& request) {
  throw_if_stopped();
  std::set<std::string> unmatched;
  std::set<std::string> ids =
      _merge_tags(tags, request.with_derivatives, request.enable_bjse, &unmatched);
  if (request.unmatched_tags_fail) fail_unmatched_tags(unmatched);
  if (kind.creates_path) create_directories(path);
  console_say(fmt::format(fmt::runtime(kind.start_line), ids.size(), render_id_set(ids)));
  sweep_abandoned_builds(path);
  // A file that a check deleted is missing, so its writer re-creates it like a new instrument's.
  const DeletedFileRebuilds rebuilds(path, kind.tick, ids);

  // Published before the workers are forked, so that they record into it.
  const RunReport report = published_run_report();
  const std::uint64_t failed_before = report.failed();
  const HeldFiles held(request.lock_wait);
  const SharedFlag flag = SharedFlag::create(true);
  write_in_pool(kind, request, path, ids, flag, held, true);
  // Stopped: the files not reached stay as they were, and so do the records of deleted files.
  throw_if_stopped();
  // The files readers still held when the wait was up, once more now that everything else is
  // done; no wait this time, and what is still held fails.
  const std::vector<std::string> last_try = held.set_aside_ids();
  if (!last_try.empty()) {
    const HeldFiles none(std::chrono::seconds(0));
    write_in_pool(kind, request, path, {last_try.begin(), last_try.end()}, flag, none, false);
  }
  throw_if_stopped();
  rebuilds.finish();
  return report.failed() == failed_before;
}

}  // namespace tessera_plus::bundle::internal

namespace tessera_plus::bundle {
namespace {

// A small pool: compression of one file stops gaining from threads long before the cores run
// out, and the chunks of a batch are shared among them.
constexpr unsigned kMaxDeflateThreads = 4;

// With one worker the other cores idle, so its writer compresses on them; with several, each
// worker already has a core and more threads would only contend for them.
unsigned deflate_threads_for(int concurrency) {
  if (concurrency > 1) return 1;
  cpu_set_t cores;
  CPU_ZERO(&cores);
  if (::sched_getaffinity(0, sizeof cores, &cores) != 0) return 1;
  return std::clamp<unsigned>(static_cast<unsigned>(CPU_COUNT(&cores)), 1, kMaxDeflateThreads);
}

}  // namespace

bool update_minbar(const std::string& path, const UpdateRequest& request) {
  const WriteOptions options{.deflate_threads = deflate_threads_for(request.concurrency)};
  // The writer finds the instrument's class directory under `path` and creates it itself.
  const internal::UpdateKind kMinbar{
      [options](const WriteRequest& write) { return _append_h5(write, options); },
      "开始更新 {} 只标的的分钟线数据：{}", false, false, "分钟线文件"};
  return internal::run_parallel_update(kMinbar, path, request.minbar, request);
}

bool update_tick(const std::string& path, const UpdateRequest& request) {
  const internal::UpdateKind kTick{_append_h5_tick, "开始更新 {} 只标的的tick数据：{}", true, true,
                                   "tick文件"};
  return internal::run_parallel_update(kTick, path, request.tick, request);
}

}  // namespace tessera_plus::bundle
