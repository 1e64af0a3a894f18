#include "tessera_plus/bundle/update/smart_update.h"

#include <filesystem>
#include <iostream>
#include <vector>

#include "tessera_plus/bundle/base_data/base_updater.h"
#include "tessera_plus/bundle/base_data/instrument_list.h"
#include "tessera_plus/bundle/store/file_names.h"
#include "tessera_plus/bundle/update/parallel_updater.h"

namespace tessera_plus::bundle {
namespace {

namespace fs = std::filesystem;

bool lists_bjse(const fs::path& instruments_pk) {
  if (!fs::exists(instruments_pk)) return false;
  for (const auto& ins : tessera::read_instrument_list(instruments_pk.string())) {
    if (ins.exchange == "BJSE") return true;
  }
  return false;
}

bool ends_with(const std::string& s, const std::string& suffix) {
  return s.size() >= suffix.size() &&
         s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// Order book ids of the instrument files directly in `dir`, in listing order.
void collect_ids(const fs::path& dir, std::vector<std::string>& ids) {
  for (const fs::directory_entry& entry : fs::directory_iterator(dir)) {
    std::string name = entry.path().filename().string();
    // A FIFO or device named like an instrument file would block the writer's open forever.
    if (ends_with(name, ".h5") && !ends_with(name, "-sample.h5") && entry.is_regular_file()) {
      ids.push_back(order_book_id_of_file(name));
    }
  }
}

std::vector<std::string> minute_bar_ids(const fs::path& min_bar_folder) {
  std::vector<std::string> ids;
  for (const fs::directory_entry& entry : fs::directory_iterator(min_bar_folder)) {
    if (entry.is_directory() && entry.path().filename() != "ticks") collect_ids(entry.path(), ids);
  }
  return ids;
}

}  // namespace

bool update_bundle_from_exist_file(int concurrency, const std::string& data_bundle_path) {
  const fs::path path = fs::path(data_bundle_path) / "bundle";
  std::cout << "开始智能更新已下载数据" << std::endl;
  std::cout << "开始更新日线及基础数据" << std::endl;
  bool enable_bjse = lists_bjse(path / "instruments.pk");
  bool succeed =
      tessera::update_daybar(path.string(), false, true, concurrency, {.enable_bjse = enable_bjse});
  const fs::path min_bar_folder = path / "h5";
  if (fs::exists(min_bar_folder)) {
    std::vector<std::string> min_ids = minute_bar_ids(min_bar_folder);
    if (!min_ids.empty() &&
        !update_minbar(min_bar_folder.string(), {.concurrency = concurrency, .minbar = min_ids})) {
      succeed = false;
    }
  }
  const fs::path tick_folder = path / "ticks";
  if (fs::exists(tick_folder)) {
    std::vector<std::string> tick_ids;
    collect_ids(tick_folder, tick_ids);
    if (!tick_ids.empty() &&
        !update_tick(tick_folder.string(), {.concurrency = concurrency, .tick = tick_ids})) {
      succeed = false;
    }
  }
  return succeed;
}

}  // namespace tessera_plus::bundle
