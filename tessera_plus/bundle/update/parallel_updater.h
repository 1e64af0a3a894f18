// Updates the minute-bar or tick files of every instrument of a tag list, in parallel.
#pragma once

#include <string>

#include "tessera_plus/bundle/update/update_request.h"

namespace tessera_plus::bundle {

// Resolves `request.minbar` with _merge_tags(tags, with_derivatives, enable_bjse), prints
// "开始更新 {} 只标的的分钟线数据：{}", and brings each instrument's minute-bar file under `path`
// (bundle/h5) up to date with _append_h5 (rebuilding it when `request.rebuild`) in
// `request.concurrency` worker processes. Each instrument counts in the published run report as
// updated, unchanged or failed. True when every instrument went through: no writer reported a
// failure, no error escaped a writer, no worker died. Errors of the selection or from creating
// the pool (a `concurrency` below 1: ValueError) propagate. Main process only.
bool update_minbar(const std::string& path, const UpdateRequest& request);

// The same for `request.tick` and tick files with _append_h5_tick, under `path` (bundle/ticks),
// which is created first with any missing parents; the start line is
// "开始更新 {} 只标的的tick数据：{}".
bool update_tick(const std::string& path, const UpdateRequest& request);

}  // namespace tessera_plus::bundle
