// Updates the minute-bar or tick files of every instrument of a tag list, in parallel.
#pragma once

#include <string>
#include <vector>

namespace tessera_plus::bundle {

// Resolves `tags` with _merge_tags(tags, with_derivatives, enable_bjse), prints
// "开始更新 {} 只标的的分钟线数据：{}", and brings each instrument's minute-bar file under `path`
// (bundle/h5) up to date with _append_h5(id, path, rebuild = rebuild) in `concurrency` worker
// processes. True when every instrument went through: no writer reported a failure, no error
// escaped a writer, no worker died. Errors of the selection or from creating the pool (a
// `concurrency` below 1: ValueError) propagate. Main process only.
bool update_minbar(const std::string& path, const std::vector<std::string>& tags,
                   bool with_derivatives, int concurrency, bool rebuild = false,
                   bool enable_bjse = false);

// The same for tick files with _append_h5_tick, under `path` (bundle/ticks), which is created
// first with any missing parents; the start line is "开始更新 {} 只标的的tick数据：{}".
bool update_tick(const std::string& path, const std::vector<std::string>& tags,
                 bool with_derivatives, int concurrency, bool rebuild = false,
                 bool enable_bjse = false);

}  // namespace tessera_plus::bundle
