#include "tessera_plus/bundle/store/minbar_appender.h"

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

#include "tessera_plus/bundle/store/building_file.h"
#include "tessera_plus/bundle/store/minbar_file.h"
#include "tessera_plus/bundle/store/minbar_records.h"
#include "tessera_plus/base/errors.h"
#include "tessera_plus/h5/dataset.h"
#include "tessera_plus/h5/file.h"
#include "tessera_plus/market/client.h"
#include "tessera_plus/base/datetime_func.h"
#include "tessera_plus/base/logger.h"
#include "tessera_plus/h5/mode.h"
#include "tessera_plus/base/shared_flag.h"

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

// The id (and a caller's file name) become a file name inside the class directory: a separator
// or ".." would put the file somewhere else, so such names are refused before anything happens.
void require_safe_name(std::string_view what, const std::string& name) {
  bool unsafe = name.empty() || name.find('/') != std::string::npos ||
                name.find("..") != std::string::npos || name.find('\0') != std::string::npos;
  if (unsafe)
    throw ValueError(fmt::format("unsafe {} '{}': it must be a plain file name", what, name));
}

struct Listing {
  int de_listed_date;
  std::string type;
};

Listing listing_of(const tallow::InstrumentAnswer& ins, const std::string& order_book_id) {
  if (const auto* one = std::get_if<tallow::Instrument>(&ins)) {
    return {tessera::dashed_date_number(one->de_listed_date), one->type};
  }
  const auto* list = std::get_if<std::vector<tallow::Instrument>>(&ins);
  if (!list || list->empty()) throw ValueError("标的 " + order_book_id + " 不存在");
  std::string latest;
  for (const tallow::Instrument& record : *list) {
    if (record.de_listed_date == "0000-00-00") return {0, list->front().type};
    latest = std::max(latest, record.de_listed_date);
  }
  return {tessera::dashed_date_number(latest), list->front().type};
}

struct FileClass {
  const h5::RecordLayout* dtypes;
  const char* directory;
};

std::optional<FileClass> class_of(std::string_view ins_type) {
  if (std::find(EQUITIES_INS_TYPE.begin(), EQUITIES_INS_TYPE.end(), ins_type) !=
      EQUITIES_INS_TYPE.end()) {
    return FileClass{&EQUITIES_DTYPE, "equities"};
  }
  if (ins_type == INSTRUMENT_TYPE::FUTURE) return FileClass{&DERIVATIVES_DTYPE, "future"};
  if (ins_type == INSTRUMENT_TYPE::OPTION) return FileClass{&DERIVATIVES_DTYPE, "option"};
  return std::nullopt;
}

// The bars from `start_date` to the end date as file records; nullopt when there are none.
std::optional<MinbarRecords> _get_price(const Context& ctx, int start_date) {
  int today = tessera::date_to_number(tessera::now());
  int end_date =
      ctx.de_listed_date != 0 && ctx.de_listed_date < today ? ctx.de_listed_date : _get_end_date();
  if (end_date < start_date) return std::nullopt;
  std::optional<tallow::PriceTable> df =
      tallow::get_price(ctx.order_book_id, tallow::PriceArgs{.start_date = std::int64_t{start_date},
                                                             .end_date = std::int64_t{end_date},
                                                             .frequency = "1m",
                                                             .adjust_type = "none",
                                                             .expect_df = true,
                                                             .market = ctx.market});
  if (!df || df->empty()) return std::nullopt;
  return to_minbar_records(*df, *ctx.dtypes);
}

void _append(h5::Dataset& origin, const h5::RecordLayout& layout, const void* records,
             std::size_t count) {
  append_records(origin, layout, records, count);
}

// A file that did not exist is built under a building name and renamed into place only once both
// datasets are complete: a run killed half-way leaves no half-built "{}.h5" behind, and whatever
// it left is removed by the next build of the same file.
void build_new_file(const fs::path& dir, const std::string& file_name, const std::string& h5_file,
                    const MinbarRecords& fetched) {
  remove_abandoned_builds(dir, file_name);
  const std::string building = building_name(dir, file_name).string();
  struct RemoveUnlessMoved {
    const std::string& path;
    bool moved = false;
    ~RemoveUnlessMoved() {
      if (!moved) ::unlink(path.c_str());
    }
  } guard{building};
  {
    h5::File file = h5::File::open(building, h5::Mode::kCreate);
    create_minbar_datasets(file, fetched);
    file.close();
  }
  if (::rename(building.c_str(), h5_file.c_str()) != 0) {
    throw_os_error(errno, "cannot move " + building + " to " + h5_file);
  }
  guard.moved = true;
}

// A file without `index`: whatever `data` it has goes, and both datasets are built anew.
void rebuild_in_place(h5::File& file, const Context& ctx, int min_start_date) {
  std::optional<MinbarRecords> fetched = _get_price(ctx, min_start_date);
  if (file.has("data")) file.remove("data");
  if (!fetched) return;
  create_minbar_datasets(file, *fetched);
}

// Brings `index` and `data` back to the same last date; returns the last `index` entry then.
IndexEntry make_consistent(h5::Dataset& index, h5::Dataset& data) {
  IndexEntry latest = last_index_entry(index);
  int data_date = last_data_date(data);
  if (latest.date == data_date) return latest;
  cut_back(index, data, std::min(latest.date, data_date));
  return last_index_entry(index);
}

void shift_line_numbers(std::vector<IndexEntry>& index, h5::Size offset, std::size_t rows) {
  if (offset + rows > std::numeric_limits<std::uint32_t>::max()) {
    throw ValueError("the file would hold more bars than its index can address");
  }
  for (IndexEntry& entry : index) entry.line_no += static_cast<std::uint32_t>(offset);
}

void extend(h5::File& file, const Context& ctx) {
  h5::Dataset index = h5::Dataset::open(file, "index");
  h5::Dataset data = h5::Dataset::open(file, "data");
  IndexEntry latest = make_consistent(index, data);
  if (ctx.de_listed_date != 0 && latest.date >= ctx.de_listed_date) return;
  tessera::Date next = tallow::get_next_trading_date(std::int64_t{latest.date}, ctx.market);
  std::optional<MinbarRecords> fetched = _get_price(ctx, tessera::date_to_number(next));
  if (!fetched) return;
  // The new bars land after the last stored row, so that is where their line numbers start.
  // (Counting from the last entry's `line_no` instead would point past the bars whenever that
  // entry claims rows that `data` does not hold.)
  shift_line_numbers(fetched->index, data.length(), fetched->rows);
  // `index` first: a run stopped between the two leaves `index` ahead of `data`, which the next
  // update notices and repairs.
  _append(index, INDEX_DTYPE, fetched->index.data(), fetched->index.size());
  _append(data, *ctx.dtypes, fetched->data.data(), fetched->rows);
}

void update_existing(const std::string& h5_file, h5::Mode mode, const Context& ctx,
                     int min_start_date) {
  h5::File file = h5::File::open(h5_file, mode);
  if (!file.has("index")) {
    rebuild_in_place(file, ctx, min_start_date);
  } else {
    extend(file, ctx);
  }
  file.close();
}

void record_failure(tessera::SharedFlag& flag, const std::string& h5_file, const char* advice,
                    const char* error_text) {
  tessera::system_log::error("更新 " + h5_file + advice + error_text);
  flag.set_value(false);
}

bool exists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

fs::path class_directory(const std::string& path, const char* name) {
  fs::path dir = fs::path(path) / name;
  std::error_code ec;
  fs::create_directories(dir, ec);
  if (ec) throw_os_error(ec.value(), "cannot create the directory " + dir.string());
  return dir;
}

}  // namespace

void _append_h5(const std::string& order_book_id, const std::string& path,
                const std::optional<std::string>& file_name, int min_start_date, bool rebuild) {
  require_safe_name("order_book_id", order_book_id);
  const bool named = file_name && !file_name->empty();
  if (named) require_safe_name("file_name", *file_name);

  Context ctx{order_book_id, order_book_id.ends_with(".XHKG") ? "hk" : "cn", 0, nullptr};
  Listing listing = listing_of(tallow::instruments(order_book_id, ctx.market), order_book_id);
  ctx.de_listed_date = listing.de_listed_date;
  if (ctx.de_listed_date != 0 && ctx.de_listed_date < MIN_START_DATE) return;
  std::optional<FileClass> file_class = class_of(listing.type);
  if (!file_class) return;
  ctx.dtypes = file_class->dtypes;

  fs::path dir = class_directory(path, file_class->directory);
  const std::string name = named ? *file_name : order_book_id + ".h5";
  const std::string h5_file = (dir / name).string();
  if (rebuild) remove_h5(h5_file);

  std::optional<MinbarRecords> fetched;
  if (!exists(h5_file)) {
    fetched = _get_price(ctx, min_start_date);
    if (!fetched) return;
  }
  h5::Mode mode = tessera::get_h5_mode(h5_file);
  tessera::SharedFlag& sval = tessera::sval();

  try {
    if (fetched) {
      build_new_file(dir, name, h5_file, *fetched);
    } else {
      update_existing(h5_file, mode, ctx, min_start_date);
    }
  } catch (const ExitRequest&) {
    throw;
  } catch (const OSError& e) {
    record_failure(sval, h5_file, " 失败，请检查文件的权限以及是否被其他进程占用\n", e.what());
  } catch (const std::exception& e) {
    record_failure(sval, h5_file,
                   " 失败，该文件可能已经损坏，您可以尝试删除该文件并重新执行更新命令\n", e.what());
  }
}

}  // namespace tessera_plus::bundle
