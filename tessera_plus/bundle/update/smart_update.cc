#include "tessera_plus/bundle/update/smart_update.h"

#include <filesystem>
#include <iostream>
#include <vector>

#include "tessera_plus/bundle/base_data/base_updater.h"
#include "tessera_plus/bundle/base_data/instrument_list.h"
#include "tessera_plus/bundle/store/bundle_layout.h"
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

}  // namespace

bool update_bundle_from_exist_file(int concurrency, const std::string& data_bundle_path) {
  const fs::path path = bundle_dir(data_bundle_path);
  std::cout << "开始智能更新已下载数据" << std::endl;
  std::cout << "开始更新日线及基础数据" << std::endl;
  bool enable_bjse = lists_bjse(instrument_list_file(path));
  bool succeed =
      bundle::update_daybar(path.string(), false, true, concurrency, {.enable_bjse = enable_bjse});
  const fs::path min_bar_folder = minbar_dir(path);
  if (fs::exists(min_bar_folder)) {
    std::vector<std::string> min_ids = minbar_instrument_ids(min_bar_folder);
    if (!min_ids.empty() &&
        !update_minbar(min_bar_folder.string(), {.concurrency = concurrency, .minbar = min_ids})) {
      succeed = false;
    }
  }
  const fs::path tick_folder = tick_dir(path);
  if (fs::exists(tick_folder)) {
    std::vector<std::string> tick_ids = instrument_ids_in(tick_folder);
    if (!tick_ids.empty() &&
        !update_tick(tick_folder.string(), {.concurrency = concurrency, .tick = tick_ids})) {
      succeed = false;
    }
  }
  return succeed;
}

}  // namespace tessera_plus::bundle
