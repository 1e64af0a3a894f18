#include "tessera_plus/bundle/update/smart_update.h"

#include <filesystem>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "tessera_plus/base/console.h"
#include "tessera_plus/base/logger.h"
#include "tessera_plus/bundle/base_data/base_updater.h"
#include "tessera_plus/bundle/base_data/instrument_list.h"
#include "tessera_plus/bundle/store/bundle_layout.h"
#include "tessera_plus/bundle/update/deleted_rebuilds.h"
#include "tessera_plus/bundle/update/parallel_updater.h"

namespace tessera_plus::bundle {
namespace {

namespace fs = std::filesystem;

bool lists_bjse(const fs::path& instruments_pk) {
  if (!fs::exists(instruments_pk)) return false;
  for (const auto& ins : bundle::read_instrument_list(instruments_pk.string())) {
    if (ins.exchange == "BJSE") return true;
  }
  return false;
}

// Minute bars or ticks as the smart update finds them: their directory, whether they are tick
// files, the request field their ids go into and the updater that takes them.
struct StoredKind {
  fs::path folder;
  bool tick;
  std::vector<std::string> UpdateRequest::*selection;
  bool (*update)(const std::string&, const UpdateRequest&);
};

// Brings every file already stored of `kind` up to date, and rebuilds those of its files that a
// check deleted; true when there was none or the update went through. Files that readers hold are
// waited for up to `lock_wait`.
bool update_stored(const StoredKind& kind, const fs::path& path, int concurrency,
                   std::chrono::duration<double> lock_wait, int recheck_days) {
  std::vector<std::string> ids = smart_update_ids(path, kind.tick);
  if (ids.empty()) return true;
  UpdateRequest request{.concurrency = concurrency,
                        .lock_wait = lock_wait,
                        .recheck_days = recheck_days,
                        .unmatched_tags_fail = false};
  request.*kind.selection = std::move(ids);
  return kind.update(kind.folder.string(), request);
}

// Each entry that stands where a file to extend would and is none (a link loop, a FIFO, a
// directory named *.h5) is passed over with one line; the rest of the bundle is updated.
void warn_of_odd_entries(const fs::path& bundle) {
  std::vector<OddEntry> odd = odd_minbar_entries(minbar_dir(bundle).string());
  for (OddEntry& entry : odd_instrument_entries(tick_dir(bundle).string())) {
    odd.push_back(std::move(entry));
  }
  for (const OddEntry& entry : odd) {
    system_log::warn(fmt::format("更新 {} 已跳过：{}；它不是数据文件，未更新，也未删除", entry.path,
                                 entry.reason));
  }
}

}  // namespace

std::vector<std::string> smart_update_ids(const fs::path& bundle, bool tick) {
  const fs::path folder = tick ? tick_dir(bundle) : minbar_dir(bundle);
  std::vector<std::string> ids;
  std::error_code ec;
  // A folder that is a link loop holds nothing to extend; the run names it (skip_odd_entries).
  if (fs::is_directory(folder, ec)) {
    ids = tick ? instrument_ids_in(folder) : minbar_instrument_ids(folder);
  }
  for (std::string& id : deleted_instrument_ids(bundle, tick)) ids.push_back(std::move(id));
  return ids;
}

bool update_bundle_from_exist_file(int concurrency, const std::string& data_bundle_path,
                                   std::chrono::duration<double> lock_wait, int recheck_days) {
  const fs::path path = bundle_dir(data_bundle_path);
  warn_of_odd_entries(path);
  console_say("开始智能更新已下载数据");
  console_say("开始更新日线及基础数据");
  bool enable_bjse = lists_bjse(instrument_list_file(path));
  bool succeed = bundle::update_daybar(path.string(), false, true, concurrency,
                                       {.enable_bjse = enable_bjse}, recheck_days);
  for (const StoredKind& kind :
       {StoredKind{minbar_dir(path), false, &UpdateRequest::minbar, &update_minbar},
        StoredKind{tick_dir(path), true, &UpdateRequest::tick, &update_tick}}) {
    if (!update_stored(kind, path, concurrency, lock_wait, recheck_days)) succeed = false;
  }
  return succeed;
}

}  // namespace tessera_plus::bundle
