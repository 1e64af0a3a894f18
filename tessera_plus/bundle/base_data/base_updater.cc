#include "tessera_plus/bundle/base_data/base_updater.h"

#include <filesystem>

#include <fmt/format.h>

#include "tessera_plus/base/errors.h"
#include "tessera_plus/base/process_pool.h"
#include "tessera_plus/base/publish.h"
#include "tessera_plus/base/warnings.h"
#include "tessera_plus/base/write_failure.h"
#include "tessera_plus/bundle/base_data/daybar_store.h"
#include "tessera_plus/bundle/base_data/instrument_list.h"
#include "tessera_plus/bundle/base_data/npy_writer.h"
#include "tessera_plus/bundle/client/client_setup.h"
#include "tessera_plus/bundle/store/constants.h"
#include "tessera_plus/h5/file.h"
#include "tessera_plus/h5/integer_dataset.h"
#include "tessera_plus/market/client.h"

namespace tessera_plus::tessera {
namespace {

namespace fs = std::filesystem;

std::vector<std::int64_t> suspended_days(const tallow::Instrument& ins, int end_date) {
  int start = std::max(bundle::MIN_START_DATE, dashed_date_number(ins.listed_date));
  if (start > end_date) return {};
  tallow::SuspensionTable table = [&] {
    SuppressWarnings quiet;
    return tallow::is_suspended(ins.order_book_id, std::int64_t{start}, std::int64_t{end_date});
  }();
  const std::vector<bool>& flags = table.column(ins.order_book_id);
  std::vector<std::int64_t> days;
  for (std::size_t i = 0; i < flags.size() && i < table.dates.size(); ++i) {
    if (flags[i]) days.push_back(date_to_number(table.dates[i]));
  }
  return days;
}

void write_calendar(const fs::path& dir, int end_date) {
  std::vector<std::int64_t> numbers;
  for (const Date& d :
       tallow::get_trading_dates(std::int64_t{bundle::MIN_START_DATE}, std::int64_t{end_date})) {
    numbers.push_back(date_to_number(d));
  }
  write_file_atomically((dir / "trading_dates.npy").string(), npy_bytes(numbers));
}

void write_suspensions(const fs::path& dir, const std::vector<tallow::Instrument>& instruments,
                       int end_date) {
  publish_file((dir / "suspended_days.h5").string(), [&](const std::string& temp) {
    h5::File file = h5::File::open(temp, h5::Mode::kCreate);
    for (const tallow::Instrument& ins : instruments) {
      if (ins.type != INSTRUMENT_TYPE::CS) continue;
      std::vector<std::int64_t> days = suspended_days(ins, end_date);
      if (!days.empty()) h5::write_int64_dataset(file, ins.order_book_id, days);
    }
    file.close();
  });
}

void update_base_data(const fs::path& dir, int end_date) {
  write_calendar(dir, end_date);
  std::vector<tallow::Instrument> instruments = tallow::all_instruments();
  write_suspensions(dir, instruments, end_date);
  write_file_atomically((dir / "instruments.pk").string(), instrument_list_bytes(instruments));
}

void init_worker_client(bool enable_bjse) { bundle::_init_tallow(enable_bjse); }

}  // namespace

bool update_daybar(const std::string& path, bool create, bool enable_compression, int concurrency,
                   const TallowKwargs& tallow_kwargs) {
  if (!fs::is_directory(path)) {
    throw OSError(ENOENT, fmt::format("the bundle directory {} does not exist; run a full update "
                                      "with base data first",
                                      path));
  }
  const int end_date = bundle::_get_end_date();
  const fs::path dir(path);
  remove_abandoned_builds(dir);
  ProgressedProcessPoolExecutor pool(
      concurrency, [enable_bjse = tallow_kwargs.enable_bjse] { init_worker_client(enable_bjse); });
  pool.submit(path + " 基础数据",
              [dir, end_date] { with_write_advice([&] { update_base_data(dir, end_date); }); });
  for (const DaybarClass& cls : daybar_classes()) {
    std::string file = (dir / cls.file_name).string();
    pool.submit(file, [file, &cls, end_date, enable_compression, create] {
      with_write_advice([&] {
        update_daybar_file(file, cls, tallow::all_instruments(), end_date, enable_compression,
                           create);
      });
    });
  }
  pool.close();
  return pool.failed() == 0;
}

}  // namespace tessera_plus::tessera
