#include "tessera_plus/bundle/update/minbar_appender.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <limits>
#include <string_view>
#include <system_error>
#include <vector>

#include <fmt/format.h>

#include "tessera_plus/base/datetime_func.h"
#include "tessera_plus/base/errors.h"
#include "tessera_plus/bundle/store/bundle_layout.h"
#include "tessera_plus/bundle/store/minbar_records.h"
#include "tessera_plus/bundle/store/minbar_stream.h"
#include "tessera_plus/bundle/store/minbar_writer.h"
#include "tessera_plus/bundle/update/file_action.h"
#include "tessera_plus/bundle/update/held_files.h"
#include "tessera_plus/bundle/update/write_guard.h"
#include "tessera_plus/market/client.h"

namespace tessera_plus::bundle {
namespace {

namespace fs = std::filesystem;

// What `_get_price` needs to know about the instrument; fixed for one call of `_append_h5`.
struct Context {
  std::string order_book_id;
  std::string market;
  int de_listed_date = 0;  // 0 while listed
  const h5::RecordLayout* dtypes = nullptr;
};

struct Listing {
  int de_listed_date;
  std::string type;
};

// Still listed when any record says so ("0000-00-00"), else de-listed on the latest date given.
Listing listing_of(const tallow::InstrumentAnswer& ins, const std::string& order_book_id) {
  const std::span<const tallow::Instrument> records = tallow::records_of(ins);
  if (records.empty()) throw ValueError("标的 " + order_book_id + " 不存在");
  std::string latest;
  for (const tallow::Instrument& record : records) {
    if (record.de_listed_date == "0000-00-00") return {0, records.front().type};
    latest = std::max(latest, record.de_listed_date);
  }
  return {dashed_date_number(latest), records.front().type};
}

struct FileClass {
  const h5::RecordLayout* dtypes;
  const char* directory;
};

std::optional<FileClass> class_of(std::string_view ins_type) {
  if (std::find(EQUITIES_INS_TYPE.begin(), EQUITIES_INS_TYPE.end(), ins_type) !=
      EQUITIES_INS_TYPE.end()) {
    return FileClass{&EQUITIES_DTYPE, EQUITIES_DIR};
  }
  if (ins_type == INSTRUMENT_TYPE::FUTURE) return FileClass{&DERIVATIVES_DTYPE, FUTURE_DIR};
  if (ins_type == INSTRUMENT_TYPE::OPTION) return FileClass{&DERIVATIVES_DTYPE, OPTION_DIR};
  return std::nullopt;
}

// The last date whose bars are wanted: the de-listing date once it is past, else the end date.
int end_date_of(const Context& ctx) {
  const int today = date_to_number(tessera_plus::now());
  return ctx.de_listed_date != 0 && ctx.de_listed_date < today ? ctx.de_listed_date
                                                               : _get_end_date();
}

// The service's bars of the trading dates from `first` to `last`; nullopt when there are none.
std::optional<tallow::PriceTable> fetch_range(const Context& ctx, int first, int last) {
  std::optional<tallow::PriceTable> df =
      tallow::get_price(ctx.order_book_id, tallow::PriceArgs{.start_date = std::int64_t{first},
                                                             .end_date = std::int64_t{last},
                                                             .frequency = "1m",
                                                             .adjust_type = "none",
                                                             .expect_df = true,
                                                             .market = ctx.market});
  if (!df || df->empty()) return std::nullopt;
  return df;
}

// The bars of the trading dates from `first` to `last` as file records; nullopt when there are
// none.
std::optional<MinbarRecords> records_of_range(const Context& ctx, int first, int last) {
  std::optional<tallow::PriceTable> df = fetch_range(ctx, first, last);
  if (!df) return std::nullopt;
  return to_minbar_records(*df, *ctx.dtypes);
}

// The bars from `start_date` to the end date as file records; nullopt when there are none.
std::optional<MinbarRecords> _get_price(const Context& ctx, int start_date) {
  const int end_date = end_date_of(ctx);
  if (end_date < start_date) return std::nullopt;
  return records_of_range(ctx, start_date, end_date);
}

void create_class_directory(const fs::path& dir) {
  std::error_code ec;
  fs::create_directories(dir, ec);
  if (ec) throw_os_error(ec.value(), "cannot create the directory " + dir.string());
}

bool exists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

int next_trading_date(const Context& ctx, int date) {
  return date_to_number(tallow::get_next_trading_date(std::int64_t{date}, ctx.market));
}

// A new file, fetched a range of dates at a time (writing.batch_days) and stored as it comes, so
// that the worker never holds the whole history. As for one fetch of the whole history, the
// service's errors of any range reach the caller and leave no file; converting and storing each
// range run inside the guard, so a bad value (a NaN in an integer field) or a failed write fails
// this instrument with its log line and the flag, and no file is published. No bars at all: no
// file, the class directory stays.
// A rebuild (`start` kReplace) is the same build, published over the old file, which stays in
// place and readable until then: a run stopped half-way (a kill, a power cut, a failure) leaves the
// instrument as it was, for the next update to extend. With no bars at all the old file goes, as
// a build from nothing leaves none; only then, once the whole history was asked for.
WriteResult create_streamed(const Context& ctx, const WriteRequest& request,
                            const std::string& h5_file, const FileState& before,
                            const WriteOptions& writing, FileStart start) {
  std::optional<MinbarBuild> build;
  for (const DateRange& range :
       batch_ranges(request.min_start_date, end_date_of(ctx), writing.batch_days)) {
    std::optional<tallow::PriceTable> fetched = fetch_range(ctx, range.first, range.last);
    if (!fetched) continue;
    const WriteResult stored = guard_file_update(
        h5_file, before,
        [&]() -> std::uint64_t {
          if (!build) build.emplace(h5_file, writing);
          build->add(to_minbar_records(*fetched, *ctx.dtypes));
          return 0;
        },
        request.held_comes_back, request.commit_group);
    if (stored.outcome == WriteResult::Outcome::kFailed ||
        stored.outcome == WriteResult::Outcome::kHeld) {
      return stored;
    }
  }
  if (!build) {
    if (start == FileStart::kReplace) remove_h5(h5_file);
    return outcome_since(h5_file, before, 0);
  }
  return guard_file_update(
      h5_file, before, [&]() -> std::uint64_t { return build->publish(); }, request.held_comes_back,
      request.commit_group);
}

}  // namespace

std::optional<MinbarTarget> minbar_target(const WriteRequest& request) {
  const std::string& order_book_id = request.order_book_id;
  require_safe_name("order_book_id", order_book_id);
  const bool named = request.file_name && !request.file_name->empty();
  if (named) require_safe_name("file_name", *request.file_name);
  MinbarTarget target{.market = order_book_id.ends_with(".XHKG") ? "hk" : "cn"};
  const Listing listing =
      listing_of(tallow::instruments(order_book_id, target.market), order_book_id);
  target.de_listed_date = listing.de_listed_date;
  if (target.de_listed_date != 0 && target.de_listed_date < MIN_START_DATE) return std::nullopt;
  const std::optional<FileClass> file_class = class_of(listing.type);
  if (!file_class) return std::nullopt;
  target.dtypes = file_class->dtypes;
  target.dir = class_dir(request.path, file_class->directory);
  const std::string name = named ? *request.file_name : instrument_file_name(order_book_id);
  target.file = (target.dir / name).string();
  return target;
}

WriteResult _append_h5(const WriteRequest& request, const WriteOptions& options) {
  const std::optional<MinbarTarget> target = minbar_target(request);
  if (!target) return {};
  const Context ctx{request.order_book_id, target->market, target->de_listed_date, target->dtypes};
  create_class_directory(target->dir);
  const std::string& h5_file = target->file;
  const FileState before = FileState::of(h5_file);
  const FileStart start = file_start(exists(h5_file), request.rebuild);

  WriteOptions writing = options;
  writing.lock_deadline = announcing_wait(h5_file, request.lock_deadline);
  writing.commit_group = request.commit_group;
  if (start != FileStart::kInPlace) {
    return create_streamed(ctx, request, h5_file, before, writing, start);
  }
  return guard_file_update(
      h5_file, before,
      [&]() -> StoredCounts {
        const MinbarSource source{
            .min_start_date = request.min_start_date,
            .de_listed_date = ctx.de_listed_date,
            .fetch = [&](int start_date) { return _get_price(ctx, start_date); },
            .next_trading_date = [&](int date) { return next_trading_date(ctx, date); },
            .fetch_range = [&](int first, int last) { return records_of_range(ctx, first, last); },
            .end_date = end_date_of(ctx),
            .batch_days = writing.batch_days,
            .recheck_days = request.recheck_days};
        return update_minbar_file(h5_file, source, writing);
      },
      request.held_comes_back, request.commit_group);
}

}  // namespace tessera_plus::bundle
