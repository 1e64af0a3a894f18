// The minute-bar appender against real files and a scripted market: creating, extending,
// repairing and rebuilding one instrument's file, and how failures are reported.
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fmt/format.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "tessera_plus/base/errors.h"
#include "tessera_plus/base/publish.h"
#include "tessera_plus/base/run_report.h"
#include "tessera_plus/base/shared_flag.h"
#include "tessera_plus/bundle/store/minbar_writer.h"
#include "tessera_plus/bundle/update/grouped_writes.h"
#include "tessera_plus/bundle/update/minbar_appender.h"
#include "tessera_plus/h5/dataset.h"
#include "tessera_plus/h5/file.h"
#include "tessera_plus/h5/journal_driver.h"
#include "tessera_plus/market/types.h"
#include "tests/support/check_fixtures.h"
#include "tests/support/env.h"
#include "tests/support/outside_layouts.h"
#include "tests/support/scripted_service.h"
#include "tests/support/temp_dir.h"

namespace tessera_plus::bundle {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono;
using tallow::Date;
using tallow::Instrument;
using tallow::PriceTable;
using testing::run_python;
using testing::ScopedScriptedService;
using testing::TempDir;

Date next_weekday(Date d, int step = 1) {
  sys_days s = sys_days(d) + days(step);
  while (weekday(s) == Saturday || weekday(s) == Sunday) s += days(step);
  return Date(s);
}

// A small deterministic market. Trading days are the weekdays. An equity trades at five minutes a
// day and the table has no `trading_date`; a future also trades two night bars on the evening
// before each trading day, which the table's `trading_date` assigns to that next day.
struct FakeMarket {
  bool future = false;

  PriceTable bars(const std::string& id, Date start, Date end) const {
    PriceTable t;
    std::vector<double> price, open_interest;
    std::vector<DateTime> trading;
    auto add = [&](Date day, int hour, int minute, Date trading_day) {
      t.order_book_ids.push_back(id);
      t.timestamps.push_back(make_datetime(day, hour, minute));
      trading.push_back(make_datetime(trading_day));
      price.push_back(date_to_number(day) % 10000 + hour + minute / 100.0);
      open_interest.push_back(1000.75 + minute);
    };
    // From the trading day before `start`, step to each trading day in [start, end].
    for (Date d = next_weekday(start, -1); (d = next_weekday(d)) <= end;) {
      if (future) {
        add(next_weekday(d, -1), 21, 1, d);
        add(next_weekday(d, -1), 23, 0, d);
      }
      for (auto [h, m] : {std::pair{9, 31}, {9, 32}, {11, 30}, {13, 1}, {15, 0}}) add(d, h, m, d);
    }
    for (const char* name : {"open", "high", "low", "close", "volume", "total_turnover"}) {
      t.add_column(name) = price;
    }
    if (future) {
      t.add_column("open_interest") = open_interest;
      t.trading_date = trading;
    }
    return t;
  }
};

struct Contents {
  std::vector<std::byte> data;
  std::vector<std::pair<int, unsigned>> index;
  std::vector<std::string> members;
  bool operator==(const Contents&) const = default;
};

Contents read_contents(const std::string& path, const h5::RecordLayout& layout) {
  h5::File file = h5::File::open(path, h5::Mode::kReadOnly);
  Contents c{{}, {}, file.member_names()};
  h5::Dataset data = h5::Dataset::open(file, "data");
  c.data.resize(data.length() * layout.size);
  data.read(layout, 0, data.length(), c.data.data());
  h5::Dataset index = h5::Dataset::open(file, "index");
  std::vector<IndexEntry> entries(index.length());
  index.read(INDEX_DTYPE, 0, entries.size(), entries.data());
  for (const IndexEntry& e : entries) c.index.emplace_back(e.date, e.line_no);
  return c;
}

std::int64_t datetime_at(const Contents& c, const h5::RecordLayout& layout, std::size_t row) {
  std::int64_t v;
  std::memcpy(&v, c.data.data() + row * layout.size, sizeof v);
  return v;
}

std::set<std::string> names_in(const fs::path& dir) {
  std::set<std::string> names;
  for (const auto& e : fs::directory_iterator(dir)) names.insert(e.path().filename().string());
  return names;
}

class MinbarAppender : public ::testing::Test {
 protected:
  void SetUp() override {
    set_now("2005-01-20 18:00:00");
    publish_sval(SharedFlag::create(true));
    svc_->on_instruments = [this](const std::string& id, const std::optional<std::string>&) {
      return tallow::InstrumentAnswer{
          Instrument{.order_book_id = id, .type = type_, .de_listed_date = de_listed_}};
    };
    svc_->on_get_price = [this](const std::string& id, const tallow::PriceArgs& args) {
      return std::optional<PriceTable>(
          market_.bars(id, tallow::to_date(*args.start_date), tallow::to_date(*args.end_date)));
    };
    svc_->on_get_next_trading_date = [](const tallow::DateArg& d, const std::string&) {
      return next_weekday(tallow::to_date(d));
    };
  }
  void set_now(const char* now) { now_.set(now); }
  void make_future() {
    type_ = "FUTURE";
    market_.future = true;
  }
  std::string h5_path() const { return dir_ / "h5"; }
  std::string file(const std::string& id = "000001.XSHE") const {
    return (fs::path(h5_path()) / (market_.future ? "future" : "equities") / (id + ".h5")).string();
  }
  const h5::RecordLayout& layout() const {
    return market_.future ? DERIVATIVES_DTYPE : EQUITIES_DTYPE;
  }
  Contents contents(const std::string& id = "000001.XSHE") const {
    return read_contents(file(id), layout());
  }
  // The same instrument built in one call, in a bundle of its own.
  Contents fresh_build(const std::string& id = "000001.XSHE") {
    std::string other = dir_ / "fresh";
    _append_h5({id, other});
    return read_contents(
        (fs::path(other) / (market_.future ? "future" : "equities") / (id + ".h5")).string(),
        layout());
  }
  bool flag() const { return sval().value(); }
  // For each (what, damage): builds a future on the 12th, runs `damage` on its file with h5py
  // (`d` and `i` its datasets, `l` the last index entry's `line_no`) and updates on the 20th; the
  // file must come out as one fresh build makes it. The ids are `id_stem` and a count.
  void expect_each_repaired(const std::string& id_stem,
                            std::initializer_list<std::pair<const char*, const char*>> damages) {
    make_future();
    int n = 0;
    for (const auto& [what, damage] : damages) {
      SCOPED_TRACE(what);
      const std::string id = id_stem + std::to_string(n++);
      set_now("2005-01-12 18:00:00");
      _append_h5({id, h5_path()});
      ASSERT_EQ(run_python(std::string("import sys, h5py, numpy as np\n"
                                       "with h5py.File(sys.argv[1], 'r+') as f:\n"
                                       "    d = f['data']; i = f['index']; "
                                       "l = int(i[len(i)-1]['line_no'])\n    ") +
                               damage,
                           file(id)),
                0);
      set_now("2005-01-20 18:00:00");
      _append_h5({id, h5_path()});
      EXPECT_EQ(contents(id), fresh_build(id));
      EXPECT_TRUE(flag());
    }
  }
  std::uint64_t stored_rows() const { return contents().data.size() / layout().size; }
  std::string log() const { return testing::read_file(log_); }

  TempDir dir_;
  std::string log_ = dir_ / "tessera.log";
  testing::ScopedEnv log_env_{"TESSERA_LOG_FILE", log_};
  testing::ScopedEnv now_{"TESSERA_NOW", std::nullopt};
  ScopedScriptedService svc_;
  FakeMarket market_;
  std::string type_ = "CS";
  std::string de_listed_ = "0000-00-00";
};

TEST_F(MinbarAppender, NewFileHoldsEveryBarFromMinStartDateWithAnIndexThatAgrees) {
  _append_h5({"000001.XSHE", h5_path()});

  auto prices = svc_->calls_of("get_price");
  ASSERT_EQ(prices.size(), 1u);
  const tallow::PriceArgs& a = prices[0].price;
  EXPECT_EQ(std::get<std::int64_t>(*a.start_date), 20050104);
  EXPECT_EQ(std::get<std::int64_t>(*a.end_date), 20050120);
  EXPECT_EQ(*a.frequency, "1m");
  EXPECT_EQ(*a.adjust_type, "none");
  EXPECT_TRUE(*a.expect_df);
  EXPECT_EQ(*a.market, "cn");

  Contents c = contents();
  EXPECT_EQ(c.members, (std::vector<std::string>{"data", "index"}));
  ASSERT_EQ(c.index.size(), 13u);  // the weekdays 4 to 20 January 2005
  EXPECT_EQ(c.index.front(), (std::pair<int, unsigned>{20050104, 0}));
  EXPECT_EQ(c.data.size(), 13 * 5 * EQUITIES_DTYPE.size);
  for (std::size_t k = 0; k < c.index.size(); ++k) {
    EXPECT_EQ(datetime_at(c, EQUITIES_DTYPE, c.index[k].second) / 1000000, c.index[k].first);
    if (k > 0) {
      EXPECT_LT(c.index[k - 1].first, c.index[k].first);
    }
  }
  // Nothing else in the class directory: the building name is gone after the rename.
  EXPECT_EQ(names_in(fs::path(h5_path()) / "equities"), std::set<std::string>{"000001.XSHE.h5"});
  EXPECT_TRUE(flag());
}

TEST_F(MinbarAppender, H5pyReadsTheFormatExactly) {
  _append_h5({"000001.XSHE", h5_path()});
  set_now("2005-01-25 18:00:00");
  _append_h5({"000001.XSHE", h5_path()});  // a rewritten chunk: free space is on record now
  std::string equity = file("000001.XSHE");
  make_future();
  _append_h5({"IF0501", h5_path()});
  std::string out;
  int status = run_python(R"(
import sys, h5py, numpy
for path, oi in ((sys.argv[1], False), (sys.argv[2], True)):
    f = h5py.File(path, 'r')
    assert sorted(f.keys()) == ['data', 'index'] and len(f.attrs) == 0, list(f.keys())
    names = ['datetime', 'open', 'high', 'low', 'close'] + (['open_interest'] if oi else []) + \
            ['volume', 'total_turnover']
    d, i = f['data'], f['index']
    assert list(d.dtype.names) == names, d.dtype
    off = 0
    for n in names:
        t, o = d.dtype.fields[n][:2]
        assert o == off and t.str == ('<i8' if n in ('datetime', 'open_interest') else '<f8'), n
        off += 8
    assert d.dtype.itemsize == off
    assert [(n, i.dtype.fields[n][0].str, i.dtype.fields[n][1]) for n in i.dtype.names] == \
        [('date', '<i4', 0), ('line_no', '<u4', 4)] and i.dtype.itemsize == 8
    for ds in (d, i):
        assert ds.compression == 'gzip' and ds.compression_opts == 9, ds.compression
        assert not ds.shuffle and ds.chunks is not None and ds.maxshape == (None,)
        assert list(ds._filters.keys()) == ['gzip'], ds._filters
    dates = i['date']; lines = i['line_no']
    assert (numpy.diff(dates) > 0).all() and lines[0] == 0
    if not oi:
        assert (d['datetime'][lines] // 1000000 == dates).all()
    print(path[-10:], len(d), len(i), d[0]['datetime'],
          f.id.get_create_plist().get_file_space_strategy()[:2])
)",
                          equity + " " + file("IF0501"), &out);
  ASSERT_EQ(status, 0) << out;
  // Free space tracked by the free-space manager (strategy 0) and persisted across closes.
  EXPECT_NE(out.find("XSHE.h5 80 16 20050104093100 (0, 1)"), std::string::npos) << out;
  // The future's first bar is the night session of Monday 3 January, opening the 4th.
  EXPECT_NE(out.find("IF0501.h5 112 16 20050103210100 (0, 1)"), std::string::npos) << out;
}

TEST_F(MinbarAppender, DailyRunsBuildTheSameFileAsOneRun) {
  for (bool future : {false, true}) {
    SCOPED_TRACE(future ? "future" : "equity");
    if (future) make_future();
    const std::string id = future ? "IF0503" : "000001.XSHE";
    for (const char* now : {"2005-01-04 18:00:00", "2005-01-05 12:00:00", "2005-01-05 18:00:00",
                            "2005-01-10 18:00:00", "2005-01-11 18:00:00", "2005-01-20 18:00:00"}) {
      set_now(now);
      _append_h5({id, h5_path()});
    }
    EXPECT_EQ(contents(id), fresh_build(id));
    EXPECT_EQ(contents(id).index.size(), 13u);
  }
  EXPECT_TRUE(flag());
}

TEST_F(MinbarAppender, UpToDateFileIsLeftAloneAndAsksForNoBars) {
  _append_h5({"000001.XSHE", h5_path()});
  Contents before = contents();
  _append_h5({"000001.XSHE", h5_path()});
  EXPECT_EQ(contents(), before);
  ASSERT_EQ(svc_->calls_of("get_price").size(), 1u);  // only the first run fetched
  auto next = svc_->calls_of("get_next_trading_date");
  ASSERT_EQ(next.size(), 1u);
  EXPECT_EQ(std::get<std::int64_t>(*next[0].date), 20050120);
  EXPECT_EQ(*next[0].market, "cn");
}

// The writer's answer is all the parallel updater records, so it must say what happened to the
// file: created, extended, left alone, rebuilt, or failed with the log line's reason.
TEST_F(MinbarAppender, ResultSaysWhatTheWriterDidToTheFile) {
  set_now("2005-01-10 18:00:00");
  WriteResult created = _append_h5({"000001.XSHE", h5_path()});
  EXPECT_EQ(created.outcome, WriteResult::Outcome::kChanged);
  EXPECT_EQ(created.file, file());
  EXPECT_EQ(created.rows, stored_rows());
  EXPECT_EQ(created.bytes, static_cast<std::int64_t>(fs::file_size(file())));

  WriteResult same = _append_h5({"000001.XSHE", h5_path()});
  EXPECT_FALSE(same.failed());
  EXPECT_EQ(same.rows, 0u);
  EXPECT_EQ(same.bytes, 0);

  // An instrument of a type that has no minute-bar files leaves everything unchanged.
  type_ = "Repo";
  WriteResult none = _append_h5({"204001.XSHG", h5_path()});
  EXPECT_EQ(none.outcome, WriteResult::Outcome::kUnchanged);
  EXPECT_EQ(none.file, "");
  type_ = "CS";

  const auto size_before = static_cast<std::int64_t>(fs::file_size(file()));
  set_now("2005-01-20 18:00:00");
  WriteResult extended = _append_h5({"000001.XSHE", h5_path()});
  EXPECT_EQ(extended.outcome, WriteResult::Outcome::kChanged);
  EXPECT_EQ(extended.rows, stored_rows() - created.rows);
  EXPECT_EQ(extended.bytes, static_cast<std::int64_t>(fs::file_size(file())) - size_before);

  // A rebuild replaces the file: a change, measured against the file the call began with.
  const auto size_extended = static_cast<std::int64_t>(fs::file_size(file()));
  WriteResult rebuilt = _append_h5({"000001.XSHE", h5_path(), std::nullopt, MIN_START_DATE, true});
  EXPECT_EQ(rebuilt.outcome, WriteResult::Outcome::kChanged);
  EXPECT_EQ(rebuilt.rows, stored_rows());
  EXPECT_EQ(rebuilt.bytes, static_cast<std::int64_t>(fs::file_size(file())) - size_extended);
  EXPECT_TRUE(flag());

  {
    testing::FileHolder holder(file());
    set_now("2005-01-25 18:00:00");
    WriteResult failed = _append_h5({"000001.XSHE", h5_path()});
    EXPECT_TRUE(failed.failed());
    EXPECT_EQ(failed.file, file());
    EXPECT_EQ(failed.reason.rfind("失败，请检查文件的权限以及是否被其他进程占用 cannot open", 0),
              0u)
        << failed.reason;
  }
  EXPECT_FALSE(flag());  // the host's contract: a failing writer clears `sval` as well
}

// Writers whose commits wait in a worker's group: no file counts in the run report (nor changes
// on disk) before its group commits, which the group's last file starts; then each file counts
// by its own commit: the one whose apply failed as failed, with its log line and the flag, and
// kept old; the rest as updated by what they grew.
TEST_F(MinbarAppender, AGroupReportsEachFileOnlyOnceItsOwnCommitHasEnded) {
  publish_run_report(RunReport::create());
  std::vector<std::string> ids;
  std::vector<std::string> old_bytes;
  set_now("2005-01-12 18:00:00");
  for (std::size_t i = 0; i < GroupedWrites::kMaxFiles; ++i) {
    ids.push_back(fmt::format("00000{}.XSHE", i + 1));
    _append_h5({ids.back(), h5_path()});
    old_bytes.push_back(testing::read_file(file(ids.back())));
  }
  set_now("2005-01-20 18:00:00");
  const std::size_t failing = 1;
  GroupedWrites grouped;
  std::int64_t grown = 0;
  for (std::size_t i = 0; i < ids.size(); ++i) {
    SCOPED_TRACE(ids[i]);
    EXPECT_EQ(run_totals().updated + run_totals().failed, 0u);
    WriteOptions options;
    // Its fsyncs: the record, the hidden file, the applied file (the directory is the first's).
    if (i == failing) options.faults = h5::FaultPlan{h5::FaultPlan::Call::kFsync, 3, EIO};
    const WriteResult result = _append_h5(
        {.order_book_id = ids[i], .path = h5_path(), .commit_group = grouped.group()}, options);
    EXPECT_EQ(result.outcome, WriteResult::Outcome::kPending);
    EXPECT_EQ(testing::read_file(file(ids[i])), old_bytes[i]);
    grouped.record(result);
  }
  const RunTotals totals = run_totals();
  EXPECT_EQ(totals.updated, ids.size() - 1);
  ASSERT_EQ(totals.failed, 1u);
  EXPECT_EQ(totals.failures[0].what, file(ids[failing]));
  EXPECT_NE(totals.failures[0].reason.find("Input/output error"), std::string::npos)
      << totals.failures[0].reason;
  EXPECT_NE(log().find("更新 " + file(ids[failing])), std::string::npos);
  EXPECT_FALSE(flag());
  for (std::size_t i = 0; i < ids.size(); ++i) {
    SCOPED_TRACE(ids[i]);
    EXPECT_FALSE(fs::exists(h5::rollback_path(file(ids[i]))));
    if (i == failing) {
      EXPECT_EQ(testing::read_file(file(ids[i])), old_bytes[i]);
    } else {
      EXPECT_EQ(contents(ids[i]), fresh_build(ids[i]));
      grown += static_cast<std::int64_t>(fs::file_size(file(ids[i])) - old_bytes[i].size());
    }
  }
  EXPECT_EQ(totals.bytes, grown);
  EXPECT_GT(totals.rows, 0u);
  publish_run_report(std::nullopt);
}

// A writer that has to wait for a file a reader holds commits its group first: the files of the
// group are durable, counted and free for their own readers while that wait lasts.
TEST_F(MinbarAppender, AWaitForAHeldFileCommitsTheGroupFirst) {
  publish_run_report(RunReport::create());
  set_now("2005-01-12 18:00:00");
  _append_h5({"000001.XSHE", h5_path()});
  _append_h5({"000002.XSHE", h5_path()});
  const std::string old_bytes = testing::read_file(file("000001.XSHE"));
  set_now("2005-01-20 18:00:00");
  // Held before the group has files: a fork would share their locks.
  std::optional<testing::FileHolder> holder(std::in_place, file("000002.XSHE"));
  GroupedWrites grouped;
  const auto no_wait = [] { return h5::LockClock::now(); };
  grouped.record(_append_h5({.order_book_id = "000001.XSHE",
                             .path = h5_path(),
                             .lock_deadline = grouped.committing_first(no_wait),
                             .commit_group = grouped.group()}));
  EXPECT_EQ(testing::read_file(file("000001.XSHE")), old_bytes);
  EXPECT_EQ(run_totals().updated, 0u);
  const WriteResult held = _append_h5({.order_book_id = "000002.XSHE",
                                       .path = h5_path(),
                                       .lock_deadline = grouped.committing_first(no_wait),
                                       .commit_group = grouped.group()});
  EXPECT_TRUE(held.failed());
  // Before the held file's writer gave up, the group had committed.
  EXPECT_EQ(run_totals().updated, 1u);
  EXPECT_EQ(contents("000001.XSHE"), fresh_build("000001.XSHE"));
  grouped.record(held);
  holder.reset();
  EXPECT_EQ(run_totals().failed, 1u);
  publish_run_report(std::nullopt);
}

TEST_F(MinbarAppender, EmptyIndexCountsAsMinStartDate) {
  fs::create_directories(fs::path(h5_path()) / "equities");
  {
    h5::File f = h5::File::open(file(), h5::Mode::kCreate);
    h5::Dataset::create(f, "data", EQUITIES_DTYPE, nullptr, 0, {64, true, 9, {}});
    h5::Dataset::create(f, "index", INDEX_DTYPE, nullptr, 0, {64, true, 9, {}});
    f.close();
  }
  _append_h5({"000001.XSHE", h5_path()});
  auto prices = svc_->calls_of("get_price");
  ASSERT_EQ(prices.size(), 1u);
  EXPECT_EQ(std::get<std::int64_t>(*prices[0].price.start_date), 20050105);
  EXPECT_EQ(contents().index.front(), (std::pair<int, unsigned>{20050105, 0}));
}

TEST_F(MinbarAppender, DelistedInstrumentStopsAtItsDelistingDate) {
  de_listed_ = "2005-01-12";
  _append_h5({"000001.XSHE", h5_path()});
  EXPECT_EQ(std::get<std::int64_t>(*svc_->calls_of("get_price")[0].price.end_date), 20050112);
  EXPECT_EQ(contents().index.back().first, 20050112);
  // Complete: opened and closed, nothing asked.
  set_now("2005-03-01 18:00:00");
  _append_h5({"000001.XSHE", h5_path()});
  EXPECT_EQ(svc_->calls_of("get_price").size(), 1u);
  EXPECT_TRUE(svc_->calls_of("get_next_trading_date").empty());
}

TEST_F(MinbarAppender, ListOfRecordsStillListedIfAnyIsAndTypeFromTheFirst) {
  auto answer = [](std::vector<std::string> dates) {
    std::vector<Instrument> list;
    for (std::size_t k = 0; k < dates.size(); ++k) {
      list.push_back(Instrument{.type = k == 0 ? "FUTURE" : "CS", .de_listed_date = dates[k]});
    }
    return tallow::InstrumentAnswer{list};
  };
  market_.future = true;
  svc_->on_instruments = [&](auto&, auto&) {
    return answer({"2005-01-10", "0000-00-00", "2005-01-12"});
  };
  _append_h5({"A", h5_path()});
  EXPECT_TRUE(fs::exists(fs::path(h5_path()) / "future" / "A.h5"));
  EXPECT_EQ(std::get<std::int64_t>(*svc_->calls_of("get_price")[0].price.end_date), 20050120);

  svc_->on_instruments = [&](auto&, auto&) { return answer({"2005-01-10", "2005-01-12"}); };
  _append_h5({"B", h5_path()});
  EXPECT_EQ(std::get<std::int64_t>(*svc_->calls_of("get_price")[1].price.end_date), 20050112);
}

TEST_F(MinbarAppender, NothingIsCreatedWhenThereIsNothingToStore) {
  svc_->on_get_price = [](auto&, auto&) { return std::optional<PriceTable>(PriceTable{}); };
  _append_h5({"000001.XSHE", h5_path()});
  EXPECT_TRUE(fs::is_directory(fs::path(h5_path()) / "equities"));
  EXPECT_FALSE(fs::exists(file()));

  de_listed_ = "2004-12-31";  // gone before the first date the bundle keeps
  _append_h5({"000002.XSHE", dir_ / "early"});
  type_ = "Repo";  // a type without minute-bar files
  de_listed_ = "0000-00-00";
  _append_h5({"000003.XSHE", dir_ / "other"});
  EXPECT_FALSE(fs::exists(dir_ / "early"));
  EXPECT_FALSE(fs::exists(dir_ / "other"));
  EXPECT_EQ(svc_->calls_of("get_price").size(), 1u);
}

TEST_F(MinbarAppender, HongKongIdsAskTheHkMarket) {
  _append_h5({"00700.XHKG", h5_path()});
  EXPECT_EQ(*svc_->calls_of("instruments")[0].market, "hk");
  EXPECT_EQ(*svc_->calls_of("get_price")[0].price.market, "hk");
}

TEST_F(MinbarAppender, UnknownIdReachesTheCallerAndLeavesTheFlag) {
  svc_->on_instruments = [](auto&, auto&) { return tallow::InstrumentAnswer{}; };
  try {
    _append_h5({"XXXX.XSHE", h5_path()});
    ADD_FAILURE() << "no error";
  } catch (const ValueError& e) {
    EXPECT_STREQ(e.what(), "标的 XXXX.XSHE 不存在");
  }
  EXPECT_TRUE(flag());
  EXPECT_FALSE(fs::exists(h5_path()));
}

TEST_F(MinbarAppender, UnsafeNamesAreRefusedBeforeAnythingHappens) {
  for (const char* id : {"../000001.XSHE", "a/b", "", "..", "x..y"}) {
    EXPECT_THROW(_append_h5({id, h5_path()}), ValueError) << id;
  }
  EXPECT_THROW(_append_h5({"000001.XSHE", h5_path(), std::string("../../evil.h5")}), ValueError);
  EXPECT_TRUE(svc_->calls.empty());
  EXPECT_EQ(names_in(dir_.path()), std::set<std::string>{});
}

TEST_F(MinbarAppender, FileNameAndRebuild) {
  _append_h5({"000001.XSHE", h5_path(), std::string("custom.h5")});
  std::string custom = (fs::path(h5_path()) / "equities" / "custom.h5").string();
  EXPECT_TRUE(fs::exists(custom));
  EXPECT_FALSE(fs::exists(file()));

  _append_h5({"000001.XSHE", h5_path()});
  Contents full = contents();
  _append_h5({"000001.XSHE", h5_path(), std::nullopt, 20050110, true});
  auto prices = svc_->calls_of("get_price");
  EXPECT_EQ(std::get<std::int64_t>(*prices.back().price.start_date), 20050110);
  Contents rebuilt = contents();
  EXPECT_EQ(rebuilt.index.front(), (std::pair<int, unsigned>{20050110, 0}));
  EXPECT_EQ(rebuilt.index.size(), full.index.size() - 4);
}

// Appends `index` entries without their bars, as a run stopped between the two appends leaves it.
void append_index_only(const std::string& path, std::vector<IndexEntry> entries) {
  h5::File f = h5::File::open(path, h5::Mode::kAppend);
  h5::Dataset index = h5::Dataset::open(f, "index");
  h5::Size n = index.length();
  index.resize(n + entries.size());
  index.write(INDEX_DTYPE, n, entries.size(), entries.data());
  f.close();
}

TEST_F(MinbarAppender, IndexAheadOfDataIsCutBackAndRefilled) {
  make_future();
  set_now("2005-01-12 18:00:00");
  _append_h5({"IF0503", h5_path()});
  std::size_t rows = contents("IF0503").data.size() / DERIVATIVES_DTYPE.size;
  append_index_only(file("IF0503"), {{20050113, static_cast<std::uint32_t>(rows)}});
  set_now("2005-01-20 18:00:00");
  _append_h5({"IF0503", h5_path()});
  EXPECT_EQ(contents("IF0503"), fresh_build("IF0503"));
  // Both cut back to before 12 January, the last date `data` held; refetched from the 13th on.
  // The entry that claims rows `data` lacks goes, and with it the 12th, whose end it would have
  // marked; refetched from the 12th on.
  EXPECT_EQ(std::get<std::int64_t>(*svc_->calls_of("get_next_trading_date").back().date), 20050111);
  EXPECT_TRUE(flag());
}

TEST_F(MinbarAppender, DataAheadOfIndexIsCutBackAndRefilled) {
  for (bool future : {false, true}) {
    SCOPED_TRACE(future ? "future" : "equity");
    if (future) make_future();
    _append_h5({"X", h5_path()});
    {
      h5::File f = h5::File::open(file("X"), h5::Mode::kAppend);
      h5::Dataset index = h5::Dataset::open(f, "index");
      index.resize(index.length() - 3);
      f.close();
    }
    _append_h5({"X", h5_path()});
    EXPECT_EQ(contents("X"), fresh_build("X"));
  }
}

TEST_F(MinbarAppender, FileWithDataButNoIndexIsRebuiltFromMinStartDate) {
  _append_h5({"000001.XSHE", h5_path()});
  Contents good = contents();
  {
    h5::File f = h5::File::open(file(), h5::Mode::kAppend);
    f.remove("index");
    f.close();
  }
  _append_h5({"000001.XSHE", h5_path()});
  EXPECT_EQ(std::get<std::int64_t>(*svc_->calls_of("get_price").back().price.start_date), 20050104);
  EXPECT_EQ(contents(), good);
}

TEST_F(MinbarAppender, IndexWithoutDataIsReportedAsDamaged) {
  fs::create_directories(fs::path(h5_path()) / "equities");
  {
    h5::File f = h5::File::open(file(), h5::Mode::kCreate);
    std::vector<IndexEntry> index = {{20050104, 0}};
    h5::Dataset::create(f, "index", INDEX_DTYPE, index.data(), 1, {64, true, 9, {}});
    f.close();
  }
  _append_h5({"000001.XSHE", h5_path()});
  EXPECT_FALSE(flag());
  EXPECT_NE(log().find("ERROR 更新 " + file() +
                       " 失败，该文件可能已经损坏，您可以尝试删除该文件并重新执行更新命令\n"),
            std::string::npos)
      << log();
}

TEST_F(MinbarAppender, FileHeldByAnotherProcessIsLoggedAndClearsTheFlag) {
  _append_h5({"000001.XSHE", h5_path()});
  {
    testing::FileHolder holder(file());
    set_now("2005-01-25 18:00:00");
    EXPECT_NO_THROW(_append_h5({"000001.XSHE", h5_path()}));
  }
  EXPECT_FALSE(flag());
  std::string text = log();
  EXPECT_NE(text.find("ERROR 更新 " + file() + " 失败，请检查文件的权限以及是否被其他进程占用\n" +
                      "cannot open HDF5 file " + file()),
            std::string::npos)
      << text;
  EXPECT_TRUE(svc_->calls_of("get_next_trading_date").empty());
}

TEST_F(MinbarAppender, ServiceErrorsWhileExtendingAreCaughtButNotWhileCreating) {
  svc_->on_get_price = [](auto&, auto&) -> std::optional<PriceTable> {
    throw tallow::PermissionDenied("no minute bars for this account");
  };
  EXPECT_THROW(_append_h5({"000001.XSHE", h5_path()}), tallow::PermissionDenied);
  EXPECT_TRUE(flag());

  set_now("2005-01-10 18:00:00");
  svc_->on_get_price = [this](const std::string& id, const tallow::PriceArgs& args) {
    return std::optional<PriceTable>(
        market_.bars(id, tallow::to_date(*args.start_date), tallow::to_date(*args.end_date)));
  };
  _append_h5({"000001.XSHE", h5_path()});
  Contents before = contents();
  svc_->on_get_price = [](auto&, auto&) -> std::optional<PriceTable> {
    throw tallow::PermissionDenied("no minute bars for this account");
  };
  set_now("2005-01-20 18:00:00");
  EXPECT_NO_THROW(_append_h5({"000001.XSHE", h5_path()}));
  EXPECT_FALSE(flag());
  // Missing data permission is no reason to delete the file: the advice names the permission.
  EXPECT_NE(log().find(" 失败，您没有相关数据的使用权限"), std::string::npos) << log();
  EXPECT_EQ(log().find("该文件可能已经损坏"), std::string::npos) << log();
  EXPECT_EQ(contents(), before);
}

// Runs the appender in a child that may write at most `limit` bytes to any file. With SIGXFSZ at
// its default the child is killed mid-build, like a killed update; ignored, the write fails.
int build_with_file_size_limit(const std::string& path, rlim_t limit, bool killed) {
  pid_t child = ::fork();
  if (child == 0) {
    ::signal(SIGXFSZ, killed ? SIG_DFL : SIG_IGN);
    rlimit r{limit, limit};
    ::setrlimit(RLIMIT_FSIZE, &r);
    _append_h5({"000001.XSHE", path});
    ::_exit(sval().value() ? 0 : 1);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  return status;
}

TEST_F(MinbarAppender, KilledBuildLeavesNoFileAndItsLeftoverIsReplaced) {
  set_now("2005-06-30 18:00:00");
  int status = build_with_file_size_limit(h5_path(), 2048, true);
  ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGXFSZ) << status;
  auto left = names_in(fs::path(h5_path()) / "equities");
  ASSERT_EQ(left.size(), 1u);
  EXPECT_TRUE(left.begin()->starts_with(".000001.XSHE.h5.")) << *left.begin();
  EXPECT_FALSE(left.begin()->ends_with(".h5"));

  remove_abandoned_builds(fs::path(h5_path()) / "equities");  // the updater's sweep, once a run
  _append_h5({"000001.XSHE", h5_path()});
  EXPECT_EQ(names_in(fs::path(h5_path()) / "equities"), std::set<std::string>{"000001.XSHE.h5"});
  EXPECT_EQ(contents(), fresh_build());
}

// A file-size limit is not a permission problem: the line says I/O error.
TEST_F(MinbarAppender, FailedBuildIsLoggedAndLeavesNothing) {
  set_now("2005-06-30 18:00:00");
  int status = build_with_file_size_limit(h5_path(), 2048, false);
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 1);  // the child cleared its flag
  EXPECT_EQ(names_in(fs::path(h5_path()) / "equities"), std::set<std::string>{});
  EXPECT_NE(log().find("更新 " + file() +
                       " 失败，读写文件时发生 I/O 错误，请检查磁盘后重新执行更新命令\n"),
            std::string::npos)
      << log();
}

// Damage that other tools leave behind, made with h5py on a future (night bars make the day
// boundaries hardest): the next update must cut back to a sound day and refetch, never call the
// file up to date.
TEST_F(MinbarAppender, TailsThatCannotBeRightAreRepairedAndRefetched) {
  expect_each_repaired(
      "IF050",
      {
          {"zero rows and (0, 0) entries, the length right",
           "d[len(d)-14:] = np.zeros(14, d.dtype); i[len(i)-2:] = np.zeros(2, i.dtype)"},
          {"zero rows only", "d[len(d)-3:] = np.zeros(3, d.dtype)"},
          {"last entry dated 0", "e = i[len(i)-1]; e['date'] = 0; i[len(i)-1] = e"},
          {"last entry on the day before", "e = i[len(i)-1]; e['line_no'] -= 7; i[len(i)-1] = e"},
          {"last entry inside its day", "e = i[len(i)-1]; e['line_no'] += 1; i[len(i)-1] = e"},
          {"rows out of order", "n = len(d); a = d[n-2]; d[n-2] = d[n-1]; d[n-1] = a"},
          {"the last bar written twice", "n = len(d); d[n-1] = d[n-2]"},
          {"the last day cut after its night bars", "d.resize((len(d)-5,))"},
          {"an earlier entry dated 0 too",
           "i[len(i)-3:] = np.zeros(3, i.dtype); d[len(d)-2:] = np.zeros(2, d.dtype)"},
      });
}

// Damage to the day before the last (`l` is the last entry's `line_no`): the row just before the
// last day's first bar must be a real bar of an earlier trading day, and the entry before the last
// must open its own day as the last entry does; otherwise the update cuts back below it.
TEST_F(MinbarAppender, TheDayBeforeTheLastIsCheckedWhereItMeetsTheLastDay) {
  expect_each_repaired(
      "IF060",
      {
          {"its last bar zeroed", "d[l-1] = np.zeros(1, d.dtype)[0]"},
          {"its last bar in the last day's night session",
           "r = d[l-1]; r['datetime'] = d[l]['datetime'] - 100; d[l-1] = r"},
          {"its entry dated 0", "e = i[len(i)-2]; e['date'] = 0; i[len(i)-2] = e"},
          {"its entry on the last day's first bar",
           "e = i[len(i)-2]; e['line_no'] = l; i[len(i)-2] = e"},
          {"its entry one row into its day", "e = i[len(i)-2]; e['line_no'] += 1; i[len(i)-2] = e"},
          {"its entry on the bar before its day",
           "e = i[len(i)-2]; e['line_no'] -= 1; i[len(i)-2] = e"},
      });
}

// Either dataset moved outside the file with h5py (its values in another file, an external or a
// soft link): the writer refuses before writing anything, logs one line and clears the flag; the
// outside file keeps its bytes.
TEST_F(MinbarAppender, WritesThatWouldLandOutsideTheFileAreRefused) {
  const std::string outside = dir_ / "outside.bin";
  for (const std::string dataset : {"data", "index"}) {
    for (const auto& [what, craft] : testing::outside_layouts(dataset, "elsewhere")) {
      SCOPED_TRACE(what);
      set_now("2005-01-12 18:00:00");
      fs::remove_all(h5_path());
      fs::remove(outside);
      _append_h5({"000001.XSHE", h5_path()});
      testing::expect_files_kept_after_craft(file(), outside, craft, [&] {
        publish_sval(SharedFlag::create(true));
        set_now("2005-01-20 18:00:00");
        _append_h5({"000001.XSHE", h5_path()});
      });
      EXPECT_FALSE(flag());
      EXPECT_NE(log().find("refusing to write " + file()), std::string::npos) << log();
    }
  }
}

TEST_F(MinbarAppender, AFileThatIsALinkOrAPipeIsRefusedButALinkedClassDirectoryIsFollowed) {
  const fs::path equities = fs::path(h5_path()) / "equities";
  set_now("2005-01-12 18:00:00");
  _append_h5({"000001.XSHE", h5_path()});
  const std::string outside = dir_ / "outside.h5";
  fs::rename(file(), outside);
  fs::create_symlink(outside, file());
  const std::string outside_before = testing::read_file(outside);
  set_now("2005-01-20 18:00:00");
  _append_h5({"000001.XSHE", h5_path()});
  EXPECT_FALSE(flag());
  EXPECT_EQ(testing::read_file(outside), outside_before);
  EXPECT_NE(log().find("it is a symbolic link"), std::string::npos) << log();

  fs::remove(file());
  ASSERT_EQ(::mkfifo(file().c_str(), 0644), 0);
  _append_h5({"000001.XSHE", h5_path()});  // must neither hang nor write
  EXPECT_NE(log().find("not a regular file"), std::string::npos) << log();

  // The user moved the whole class directory to another disk and linked it back.
  fs::remove(file());
  const fs::path moved = dir_ / "other-disk-equities";
  fs::rename(equities, moved);
  fs::create_symlink(moved, equities);
  fs::rename(outside, moved / "000001.XSHE.h5");
  publish_sval(SharedFlag::create(true));
  _append_h5({"000001.XSHE", h5_path()});
  EXPECT_TRUE(flag()) << log();
  EXPECT_EQ(contents(), fresh_build());
}

// Every failure and every crash point of an append's commit, in turn, through the writer.
class MinbarAppendFaults : public MinbarAppender {
 protected:
  void SetUp() override {
    MinbarAppender::SetUp();
    set_now("2005-01-12 18:00:00");
    _append_h5({"000001.XSHE", h5_path()});
    old_bytes_ = testing::read_file(file());
    set_now("2005-01-20 18:00:00");
    new_contents_ = fresh_build();
  }
  void update(std::optional<h5::FaultPlan> faults) {
    update_minbar_file(
        file(),
        {.min_start_date = MIN_START_DATE,
         .fetch =
             [&](int start) {
               return std::optional<MinbarRecords>(to_minbar_records(
                   market_.bars("000001.XSHE", date_from_number(start), date_from_number(20050120)),
                   EQUITIES_DTYPE));
             },
         .next_trading_date =
             [](int date) { return date_to_number(next_weekday(date_from_number(date))); }},
        WriteOptions{.journal = true, .faults = faults});
  }
  void restore() { std::ofstream(file(), std::ios::binary | std::ios::trunc) << old_bytes_; }
  bool record_left() const { return fs::exists(h5::rollback_path(file())); }

  std::string old_bytes_;
  Contents new_contents_;
};

TEST_F(MinbarAppendFaults, EveryFailedWriteOrFsyncLeavesTheOldFileAndIsReported) {
  for (auto call : {h5::FaultPlan::Call::kWrite, h5::FaultPlan::Call::kFsync}) {
    int failed = 0;
    for (int k = 1;; ++k) {
      SCOPED_TRACE(k);
      restore();
      bool threw = false;
      try {
        update(h5::FaultPlan{call, k, k % 2 ? ENOSPC : EIO});
      } catch (const OSError& e) {
        threw = true;
        EXPECT_EQ(e.error_number(), k % 2 ? ENOSPC : EIO);
      }
      if (!threw) {
        EXPECT_EQ(contents(), new_contents_);  // k is past the last call: the fault never fired
        break;
      }
      ++failed;
      // The last fsync of the directory comes after the new content is in place.
      if (testing::read_file(file()) != old_bytes_) {
        EXPECT_EQ(contents(), new_contents_);
      }
      EXPECT_FALSE(record_left());
    }
    EXPECT_GE(failed, 3);
  }
}

TEST_F(MinbarAppendFaults, AKillAtEveryCallLeavesOldOrNewForEveryReader) {
  int crashes = 0;
  for (int k = 1;; ++k) {
    SCOPED_TRACE(k);
    restore();
    pid_t child = ::fork();
    if (child == 0) {
      try {
        update(h5::FaultPlan{h5::FaultPlan::Call::kAny, k, 0, /*crash=*/true});
      } catch (...) {
        ::_exit(1);
      }
      ::_exit(0);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    if (WEXITSTATUS(status) == 0) break;
    ASSERT_EQ(WEXITSTATUS(status), h5::kFaultCrashStatus);
    ++crashes;
    // A read-only open rolls back a pending record first, as the checkers' opens do.
    Contents seen = contents();
    EXPECT_TRUE(testing::read_file(file()) == old_bytes_ || seen == new_contents_);
    EXPECT_FALSE(record_left());
  }
  EXPECT_GE(crashes, 5);
}

}  // namespace
}  // namespace tessera_plus::bundle
