#include "tessera_plus/bundle/update/parallel_updater.h"

#include "tessera_plus/bundle/update/minbar_appender.h"
#include "tessera_plus/bundle/update/parallel_updater_internal.h"
#include "tessera_plus/bundle/update/tick_appender.h"

namespace tessera_plus::bundle {

bool update_minbar(const std::string& path, const std::vector<std::string>& tags,
                   bool with_derivatives, int concurrency, bool rebuild, bool enable_bjse) {
  // The writer finds the instrument's class directory under `path` and creates it itself.
  const internal::UpdateKind kMinbar{
      _append_h5, "开始更新 {} 只标的的分钟线数据：{}", false, {"equities", "future", "option"}};
  return internal::run_parallel_update(kMinbar, path, tags, with_derivatives, concurrency, rebuild,
                                       enable_bjse);
}

bool update_tick(const std::string& path, const std::vector<std::string>& tags,
                 bool with_derivatives, int concurrency, bool rebuild, bool enable_bjse) {
  const internal::UpdateKind kTick{_append_h5_tick, "开始更新 {} 只标的的tick数据：{}", true};
  return internal::run_parallel_update(kTick, path, tags, with_derivatives, concurrency, rebuild,
                                       enable_bjse);
}

}  // namespace tessera_plus::bundle
