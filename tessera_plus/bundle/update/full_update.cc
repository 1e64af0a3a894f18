#include "tessera_plus/bundle/update/full_update.h"

#include <algorithm>
#include <filesystem>

#include "tessera_plus/base/console.h"
#include "tessera_plus/base/datetime_func.h"
#include "tessera_plus/base/errors.h"
#include "tessera_plus/base/interrupted.h"
#include "tessera_plus/base/settings.h"
#include "tessera_plus/base/stop_request.h"
#include "tessera_plus/bundle/base_data/base_updater.h"
#include "tessera_plus/bundle/store/bundle_layout.h"
#include "tessera_plus/bundle/store/constants.h"
#include "tessera_plus/bundle/update/parallel_updater.h"
#include "tessera_plus/market/client.h"

namespace tessera_plus::bundle {
namespace {

namespace fs = std::filesystem;

void say(const std::string& line) { std::cout << line << std::endl; }

[[noreturn]] void exit_without_bjse_permission() {
  say("没有 enable_bjse 参数，详情可联系Larkspur：" + support_phone());
  throw ExitRequest(0);
}

void check_bjse_permission() {
  std::vector<tallow::Instrument> stocks =
      tallow::all_instruments({.type = "CS", .date = tessera_plus::now()});
  auto bjse = std::find_if(stocks.begin(), stocks.end(),
                           [](const tallow::Instrument& i) { return i.exchange == "BJSE"; });
  if (bjse == stocks.end()) exit_without_bjse_permission();
  try {
    tallow::get_price(bjse->order_book_id);
  } catch (const tallow::PermissionDenied&) {
    exit_without_bjse_permission();
  }
}

void confirm_rebuild(const UpdateRequest& request) {
  const RebuildDecision decision =
      request.confirm_rebuild ? request.confirm_rebuild() : ask_rebuild_confirmation(std::cin);
  if (decision == RebuildDecision::kDeclined) throw ExitRequest(0);
}

bool update_base(const fs::path& path, int concurrency, bool enable_bjse, int recheck_days) {
  console_say("开始更新日线及基础数据");
  bool create = !fs::exists(path);
  if (create) fs::create_directories(path);
  return bundle::update_daybar(path.string(), create, true, concurrency,
                               {.enable_bjse = enable_bjse}, recheck_days);
}

}  // namespace

RebuildDecision ask_rebuild_confirmation(std::istream& in) {
  for (int attempt = 0; attempt < REBUILD_COMFIRM_RETRY_TIMES; ++attempt) {
    say("本次会将指定的[合约分钟]和[合约tick]的h5文件从头进行更新，是否确认?[Y/n]");
    std::string answer;
    if (!std::getline(in, answer)) {
      if (stop_requested()) {
        std::cout << '\n' << std::flush;  // past the terminal's echoed ^C
        throw Interrupted(stop_signal());
      }
      throw Error("standard input closed while waiting for the rebuild confirmation");
    }
    if (answer == "Y") return RebuildDecision::kConfirmed;
    if (answer == "n") return RebuildDecision::kDeclined;
  }
  return RebuildDecision::kDeclined;
}

bool update_bundle_from_tallow(const UpdateRequest& request) {
  const fs::path path = bundle_dir(request.data_bundle_path);
  if (request.enable_bjse) check_bjse_permission();
  bool succeed = true;
  if (request.rebuild) confirm_rebuild(request);
  if (request.base) {
    succeed = update_base(path, request.concurrency, request.enable_bjse, request.recheck_days);
  }
  if (!request.minbar.empty()) {
    bool ok = update_minbar(minbar_dir(path).string(), request);
    if (!ok) succeed = false;
  }
  if (!request.tick.empty()) {
    bool ok = update_tick(tick_dir(path).string(), request);
    if (!ok) succeed = false;
  }
  return succeed;
}

}  // namespace tessera_plus::bundle
