#include "tessera_plus/bundle/base_data/daybar_store.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <optional>
#include <set>
#include <span>

#include "tessera_plus/base/errors.h"
#include "tessera_plus/base/publish.h"
#include "tessera_plus/bundle/base_data/daybar_revision.h"
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

// One instrument's call: the dates its dataset lacks, through its de-listing or `end_date`, and
// the last stored days looked at again in the same call (from row `stored_from` on).
struct DaybarRequest {
  const tallow::Instrument* ins;
  int start;
  int last;
  h5::Size stored_from = 0;
};

int date_of_row(const h5::Dataset& ds, h5::Size row) {
  return static_cast<int>(tallow::date_of_datetime(
      ds.read_field<std::int64_t>(*EQUITIES_DTYPE.find("datetime"), row, 1)[0]));
}

// Nothing when the dataset holds every date through `last`: then the service is not asked, not
// even for the stored days.
std::optional<DaybarRequest> request_of(const h5::File& file, const tallow::Instrument& ins,
                                        int end_date, int recheck_days) {
  const int de_listed = dashed_date_number(ins.de_listed_date);
  const int last = de_listed != 0 ? std::min(de_listed, end_date) : end_date;
  const int listed = std::max(dashed_date_number(ins.listed_date), bundle::MIN_START_DATE);
  const h5::Size rows =
      file.has(ins.order_book_id) ? h5::Dataset::open(file, ins.order_book_id).length() : 0;
  if (rows == 0) {
    if (listed > last) return std::nullopt;
    return DaybarRequest{&ins, listed, last};
  }
  const h5::Dataset ds = h5::Dataset::open(file, ins.order_book_id);
  const Date next = Date(std::chrono::sys_days(date_from_number(date_of_row(ds, rows - 1))) +
                         std::chrono::days(1));
  if (date_to_number(next) > last) return std::nullopt;
  const h5::Size looked_at =
      std::min<h5::Size>(static_cast<h5::Size>(std::max(recheck_days, 0)), rows);
  const h5::Size stored_from = rows - looked_at;
  const int start = looked_at > 0 ? date_of_row(ds, stored_from) : date_to_number(next);
  return DaybarRequest{&ins, start, last, stored_from};
}

bool in_class(const DaybarClass& cls, const tallow::Instrument& ins) {
  return std::find(cls.types.begin(), cls.types.end(), ins.type) != cls.types.end();
}

// The calls the class needs, in instrument order; an instrument whose data is complete needs none.
std::vector<DaybarRequest> requests_of(const h5::File& file, const DaybarClass& cls,
                                       const std::vector<tallow::Instrument>& instruments,
                                       int end_date, int recheck_days) {
  std::vector<DaybarRequest> requests;
  for (const tallow::Instrument& ins : instruments) {
    if (!in_class(cls, ins)) continue;
    if (auto request = request_of(file, ins, end_date, recheck_days)) requests.push_back(*request);
  }
  return requests;
}

// A class file as its update sees it. An existing one is only read until an answer changes it and
// is then opened for writing, once, so that a run that brings nothing new (a suspended stock is
// asked every day and answers nothing) leaves its bytes and modification time as they were. One
// that cannot be read so (an interrupted commit hides it) is opened for writing at once, which
// rolls the commit back first. A new file is written from the start.
class ClassFile {
 public:
  explicit ClassFile(h5::File building) : writer_(std::move(building)) {}
  ClassFile(std::string path, const bundle::WriteOptions& options)
      : path_(std::move(path)), options_(options) {
    try {
      reader_.emplace(h5::File::open(path_, h5::Mode::kReadOnly));
    } catch (const OSError&) {
      writer_.emplace(bundle::open_for_update(path_, options_));
    }
  }
  const h5::File& view() const { return writer_ ? *writer_ : *reader_; }
  h5::File& writer() {
    if (!writer_) {
      reader_->close();
      reader_.reset();
      writer_.emplace(bundle::open_for_update(path_, options_));
    }
    return *writer_;
  }
  // Commits what was written.
  void close() {
    if (writer_) writer_->close();
    if (reader_) reader_->close();
  }

 private:
  std::string path_;
  bundle::WriteOptions options_;
  std::optional<h5::File> reader_;
  std::optional<h5::File> writer_;
};

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

// Stores what was fetched from row `stored_from` on: stored days the service answers differently
// are written again (daybar_revision.h), the rest is appended.
void store_bars(h5::File& file, const std::string& id, const std::vector<EquityBar>& bars,
                bool compression, h5::Size stored_from) {
  if (bars.empty()) return;
  if (!file.has(id)) {
    h5::Creation how{.chunk = kDaybarChunk, .growable = true, .deflate = compression ? 9 : -1};
    h5::Dataset::create(file, id, EQUITIES_DTYPE, bars.data(), bars.size(), how);
    return;
  }
  h5::Dataset ds = bundle::open_for_write(file, id);
  const DaybarRevision revision = revise_daybars(ds, stored_from, bars);
  if (!revision.revised_days.empty()) log_revised(id, revision.revised_days);
  const std::span<const EquityBar> added = std::span(bars).subspan(revision.append_from);
  if (revision.keep_rows == ds.length() && added.empty()) return;
  ds.resize(revision.keep_rows + added.size());
  if (!added.empty()) ds.write(EQUITIES_DTYPE, revision.keep_rows, added.size(), added.data());
}

// Whether storing `bars` (fetched from row `stored_from` on) would change the dataset `id`.
bool changes(const h5::File& file, const std::string& id, const std::vector<EquityBar>& bars,
             h5::Size stored_from) {
  if (bars.empty()) return false;
  if (!file.has(id)) return true;
  const h5::Dataset ds = h5::Dataset::open(file, id);
  const DaybarRevision revision = revise_daybars(ds, stored_from, bars);
  return revision.keep_rows < ds.length() || revision.append_from < bars.size();
}

void store_if_changed(ClassFile& file, const std::string& id, const std::vector<EquityBar>& bars,
                      bool compression, h5::Size stored_from) {
  if (changes(file.view(), id, bars, stored_from)) {
    store_bars(file.writer(), id, bars, compression, stored_from);
  }
}

// Writes what was fetched for `request`. An instrument listed twice was asked for before its first
// listing's bars were written: its dates are asked for again, here, as they stand now.
void store_answer(ClassFile& file, const DaybarRequest& request, FetchedAnswer&& answer,
                  std::set<std::string>& written, int end_date, bool compression) {
  const std::string& id = request.ins->order_book_id;
  if (written.insert(id).second) {
    store_if_changed(file, id, records_of_bytes<EquityBar>(answer.take()), compression,
                     request.stored_from);
    return;
  }
  if (std::optional<DaybarRequest> now = request_of(file.view(), *request.ins, end_date, 0)) {
    store_if_changed(file, id, records_of_bytes<EquityBar>(fetch_bars(*now)), compression,
                     now->stored_from);
  }
}

// Updates every instrument of the class and closes (commits) the file. An instrument whose data
// the service does not deliver is skipped and returned: the service is asked before anything of
// the instrument is written, so its dataset stays as it was.
std::vector<InstrumentFailure> update_instruments(
    ClassFile& file, const DaybarClass& cls, const std::vector<tallow::Instrument>& instruments,
    int end_date, bool compression, int recheck_days) {
  const std::vector<DaybarRequest> requests =
      requests_of(file.view(), cls, instruments, end_date, recheck_days);
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
    const bundle::WriteOptions& options, int recheck_days) {
  bundle::require_regular_file(path);
  if (!fresh && std::filesystem::exists(path)) {
    ClassFile file(path, options);
    return update_instruments(file, cls, instruments, end_date, compression, recheck_days);
  }
  std::vector<InstrumentFailure> failures;
  publish_file(path, recorder_of(options), [&](const std::string& temp) {
    ClassFile file(h5::File::open(temp, h5::Mode::kCreate));
    failures = update_instruments(file, cls, instruments, end_date, compression, 0);
  });
  return failures;
}

}  // namespace tessera_plus::bundle
