#include "tessera_plus/bundle/base_data/daybar_store.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <optional>
#include <set>

#include "tessera_plus/base/publish.h"
#include "tessera_plus/bundle/base_data/fetch_ahead.h"
#include "tessera_plus/bundle/store/constants.h"
#include "tessera_plus/bundle/store/write_options.h"
#include "tessera_plus/bundle/store/write_safety.h"
#include "tessera_plus/h5/dataset.h"
#include "tessera_plus/h5/file.h"
#include "tessera_plus/market/bar_time.h"
#include "tessera_plus/market/client.h"

namespace tessera_plus::bundle {
namespace {

using bundle::EQUITIES_DTYPE;
using bundle::EquityBar;

// A year of daily bars per chunk: one chunk rewritten per daily append, few chunks per history.
constexpr h5::Size kDaybarChunk = 256;

std::vector<EquityBar> to_records(const tallow::PriceTable& table) {
  std::vector<EquityBar> bars(table.rows());
  const auto& open = table.column("open");
  const auto& high = table.column("high");
  const auto& low = table.column("low");
  const auto& close = table.column("close");
  const auto& volume = table.column("volume");
  const auto& turnover = table.column("total_turnover");
  for (std::size_t i = 0; i < bars.size(); ++i) {
    bars[i] = {tallow::datetime_number(date_to_number(table.timestamps[i]), 0),
               open[i],
               high[i],
               low[i],
               close[i],
               volume[i],
               turnover[i]};
  }
  return bars;
}

// The first date still missing from `id`'s dataset, or the first date worth asking for.
int first_missing_date(const h5::File& file, const tallow::Instrument& ins) {
  int listed = std::max(dashed_date_number(ins.listed_date), bundle::MIN_START_DATE);
  if (!file.has(ins.order_book_id)) return listed;
  h5::Dataset ds = h5::Dataset::open(file, ins.order_book_id);
  h5::Size n = ds.length();
  if (n == 0) return listed;
  auto last = ds.read_field<std::int64_t>(*EQUITIES_DTYPE.find("datetime"), n - 1, 1);
  Date next = Date(std::chrono::sys_days(date_from_number(tallow::date_of_datetime(last[0]))) +
                   std::chrono::days(1));
  return date_to_number(next);
}

// One instrument's call: the dates its dataset lacks, through its de-listing or `end_date`.
struct DaybarRequest {
  const tallow::Instrument* ins;
  int start;
  int last;
};

std::optional<DaybarRequest> request_of(const h5::File& file, const tallow::Instrument& ins,
                                        int end_date) {
  int de_listed = dashed_date_number(ins.de_listed_date);
  int last = de_listed != 0 ? std::min(de_listed, end_date) : end_date;
  int start = first_missing_date(file, ins);
  if (start > last) return std::nullopt;
  return DaybarRequest{&ins, start, last};
}

bool in_class(const DaybarClass& cls, const tallow::Instrument& ins) {
  return std::find(cls.types.begin(), cls.types.end(), ins.type) != cls.types.end();
}

// The calls the class needs, in instrument order; an instrument whose data is complete needs none.
std::vector<DaybarRequest> requests_of(const h5::File& file, const DaybarClass& cls,
                                       const std::vector<tallow::Instrument>& instruments,
                                       int end_date) {
  std::vector<DaybarRequest> requests;
  for (const tallow::Instrument& ins : instruments) {
    if (!in_class(cls, ins)) continue;
    if (auto request = request_of(file, ins, end_date)) requests.push_back(*request);
  }
  return requests;
}

// The records of the requested dates as plain bytes, which is how they leave a fetcher process.
std::string fetch_bars(const DaybarRequest& request) {
  auto table =
      tallow::get_price(request.ins->order_book_id, {.start_date = std::int64_t{request.start},
                                                     .end_date = std::int64_t{request.last},
                                                     .adjust_type = "none",
                                                     .expect_df = true});
  if (!table || table->empty()) return {};
  return bytes_of(to_records(*table));
}

void store_bars(h5::File& file, const std::string& id, const std::vector<EquityBar>& bars,
                bool compression) {
  if (bars.empty()) return;
  if (!file.has(id)) {
    h5::Creation how{.chunk = kDaybarChunk, .growable = true, .deflate = compression ? 9 : -1};
    h5::Dataset::create(file, id, EQUITIES_DTYPE, bars.data(), bars.size(), how);
    return;
  }
  h5::Dataset ds = bundle::open_for_write(file, id);
  h5::Size n = ds.length();
  ds.resize(n + bars.size());
  ds.write(EQUITIES_DTYPE, n, bars.size(), bars.data());
}

// Writes what was fetched for `request`. An instrument listed twice was asked for before its first
// listing's bars were written: its dates are asked for again, here, as they stand now.
void store_answer(h5::File& file, const DaybarRequest& request, FetchedAnswer&& answer,
                  std::set<std::string>& written, int end_date, bool compression) {
  const std::string& id = request.ins->order_book_id;
  if (written.insert(id).second) {
    store_bars(file, id, records_of_bytes<EquityBar>(answer.take()), compression);
    return;
  }
  if (std::optional<DaybarRequest> now = request_of(file, *request.ins, end_date)) {
    store_bars(file, id, records_of_bytes<EquityBar>(fetch_bars(*now)), compression);
  }
}

// Updates every instrument of the class and closes (commits) the file. An instrument whose data
// the service does not deliver is skipped and returned: the service is asked before anything of
// the instrument is written, so its dataset stays as it was.
std::vector<InstrumentFailure> update_instruments(
    h5::File& file, const DaybarClass& cls, const std::vector<tallow::Instrument>& instruments,
    int end_date, bool compression) {
  const std::vector<DaybarRequest> requests = requests_of(file, cls, instruments, end_date);
  std::vector<InstrumentFailure> failures;
  std::set<std::string> written;
  fetch_ahead(
      requests.size(), [&](std::size_t i) { return fetch_bars(requests[i]); },
      [&](std::size_t i, FetchedAnswer&& answer) {
        const std::string& id = requests[i].ins->order_book_id;
        try {
          store_answer(file, requests[i], std::move(answer), written, end_date, compression);
        } catch (const tallow::ServiceUnavailable& e) {
          failures.push_back({id, std::string("数据服务暂时不可用：") + e.what()});
        } catch (const tallow::PermissionDenied& e) {
          failures.push_back({id, std::string("没有数据使用权限：") + e.what()});
        } catch (const FetcherLost& e) {
          failures.push_back({id, e.what()});
        }
      });
  file.close();
  return failures;
}

}  // namespace

const std::vector<DaybarClass>& daybar_classes() {
  using T = INSTRUMENT_TYPE;
  static const std::vector<DaybarClass> classes = {
      {"stocks.h5", {T::CS}},      {"funds.h5", {T::ETF, T::LOF, T::REITs}},
      {"indexes.h5", {T::INDX}},   {"futures.h5", {T::FUTURE}},
      {"options.h5", {T::OPTION}}, {"convertibles.h5", {T::CONVERTIBLE}}};
  return classes;
}

std::vector<InstrumentFailure> update_daybar_file(
    const std::string& path, const DaybarClass& cls,
    const std::vector<tallow::Instrument>& instruments, int end_date, bool compression, bool fresh,
    const bundle::WriteOptions& options) {
  bundle::require_regular_file(path);
  if (!fresh && std::filesystem::exists(path)) {
    h5::File file = bundle::open_for_update(path, options);
    return update_instruments(file, cls, instruments, end_date, compression);
  }
  std::vector<InstrumentFailure> failures;
  publish_file(path, recorder_of(options), [&](const std::string& temp) {
    h5::File file = h5::File::open(temp, h5::Mode::kCreate);
    failures = update_instruments(file, cls, instruments, end_date, compression);
  });
  return failures;
}

}  // namespace tessera_plus::bundle
