#include "tessera_plus/bundle/update/parallel_updater.h"

#include <sched.h>

#include <algorithm>

#include "tessera_plus/bundle/update/minbar_appender.h"
#include "tessera_plus/bundle/update/parallel_updater_internal.h"
#include "tessera_plus/bundle/update/tick_appender.h"

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
      "开始更新 {} 只标的的分钟线数据：{}", false};
  return internal::run_parallel_update(kMinbar, path, request.minbar, request);
}

bool update_tick(const std::string& path, const UpdateRequest& request) {
  const internal::UpdateKind kTick{_append_h5_tick, "开始更新 {} 只标的的tick数据：{}", true};
  return internal::run_parallel_update(kTick, path, request.tick, request);
}

}  // namespace tessera_plus::bundle
