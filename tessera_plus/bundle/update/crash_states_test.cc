// Power loss at every recorded system call of the bundle's writers: the journaled updates (a
// minute-bar append, a repair that cuts a file's end, a tick batch with its suspension markers,
// the daily-bar class files) and the whole-file publishing (a new file, the calendar and the
// instrument list, the sample swap). Every state that the weak per-file model allows is rebuilt
// and must read, to plain HDF5 and h5py, as old, new or an error, and recover to old or new, also
// after a reboot under another device number (tests/support/crash_states.h).
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "tessera_plus/base/datetime_func.h"
#include "tessera_plus/base/io_recorder.h"
#include "tessera_plus/base/publish.h"
#include "tessera_plus/bundle/base_data/daybar_store.h"
#include "tessera_plus/bundle/base_data/instrument_list.h"
#include "tessera_plus/bundle/base_data/npy_writer.h"
#include "tessera_plus/bundle/store/bundle_layout.h"
#include "tessera_plus/bundle/store/minbar_records.h"
#include "tessera_plus/bundle/store/minbar_stream.h"
#include "tessera_plus/bundle/store/minbar_writer.h"
#include "tessera_plus/bundle/store/tick_layout.h"
#include "tessera_plus/bundle/store/tick_writer.h"
#include "tessera_plus/bundle/update/sample_swap.h"
#include "tessera_plus/h5/dataset.h"
#include "tessera_plus/h5/file.h"
#include "tessera_plus/h5/journal_driver.h"
#include "tessera_plus/h5/rollback_record.h"
#include "tessera_plus/market/types.h"
#include "tests/support/crash_recorder.h"
#include "tests/support/crash_states.h"
#include "tests/support/scripted_service.h"
#include "tests/support/temp_dir.h"

namespace tessera_plus::bundle {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono;
using testing::CrashRecorder;
using testing::CrashStateCounts;
using testing::read_tree;
using testing::TempDir;

std::vector<Date> weekdays(int from, int to) {
  std::vector<Date> days;
  for (sys_days d = sys_days(date_from_number(from)); d <= sys_days(date_from_number(to));
       d += std::chrono::days(1)) {
    if (weekday(d) != Saturday && weekday(d) != Sunday) days.push_back(Date(d));
  }
  return days;
}

std::vector<int> weekday_numbers(int from, int to) {
  std::vector<int> numbers;
  for (const Date& d : weekdays(from, to)) numbers.push_back(date_to_number(d));
  return numbers;
}

int next_weekday(int date) {
  sys_days d = sys_days(date_from_number(date)) + std::chrono::days(1);
  while (weekday(d) == Saturday || weekday(d) == Sunday) d += std::chrono::days(1);
  return date_to_number(Date(d));
}

// 240 bars a trading day (09:31-11:30, 13:01-15:00); prices a function of the bar alone.
tallow::PriceTable minute_bars(int from, int to) {
  tallow::PriceTable table;
  std::vector<double> price;
  for (const Date& day : weekdays(from, to)) {
    for (int m = 0; m < 240; ++m) {
      int hour = m < 120 ? 9 + (31 + m) / 60 : 13 + (1 + m - 120) / 60;
      int minute = m < 120 ? (31 + m) % 60 : (1 + m - 120) % 60;
      table.order_book_ids.push_back("000001.XSHE");
      table.timestamps.push_back(make_datetime(day, hour, minute));
      price.push_back(date_to_number(day) % 1000 + m * 0.01);
    }
  }
  for (const char* name : {"open", "high", "low", "close", "volume", "total_turnover"}) {
    table.add_column(name) = price;
  }
  return table;
}

MinbarSource minbar_source(int end) {
  return {.min_start_date = 20050104,
          .fetch = [end](int start) -> std::optional<MinbarRecords> {
            if (start > end) return std::nullopt;
            return to_minbar_records(minute_bars(start, end), EQUITIES_DTYPE);
          },
          .next_trading_date = next_weekday};
}

// As minbar_source, looking again at the last three stored days, which the service answers with
// closes shifted by `revision` each time: every update cuts three days and writes them again.
MinbarSource revising_source(int end, double revision) {
  MinbarSource source = minbar_source(end);
  source.recheck_days = 3;
  source.fetch = [end, revision](int start) -> std::optional<MinbarRecords> {
    if (start > end) return std::nullopt;
    tallow::PriceTable bars = minute_bars(start, end);
    for (double& close : bars.column("close")) close += revision;
    return to_minbar_records(bars, EQUITIES_DTYPE);
  };
  return source;
}

// `count` ticks of `date`, one every three seconds from 09:30.
std::vector<std::byte> ticks(int date, int count) {
  std::vector<TickRecord> records(static_cast<std::size_t>(count));
  for (int i = 0; i < count; ++i) {
    TickRecord& r = records[static_cast<std::size_t>(i)];
    std::memset(&r, 0, sizeof r);
    int second = 34200 + 3 * i;
    r.date = date;
    r.time = (second / 3600 * 10000 + second % 3600 / 60 * 100 + second % 60) * 1000;
    r.last = r.open = r.high = r.low = 100000 + date % 100 * 10 + i;
    r.volume = 100 * i;
    r.total_turnover = 1000.5 * i;
    r.a1 = r.last + 10;
    r.b1 = r.last - 10;
  }
  std::vector<std::byte> bytes(records.size() * sizeof(TickRecord));
  std::memcpy(bytes.data(), records.data(), bytes.size());
  return bytes;
}

void write_tick_batch(TickFileUpdate& update, const std::vector<std::pair<int, int>>& days) {
  std::vector<std::byte> scratch;
  for (auto [date, count] : days) {
    if (count == 0) {
      mark_suspended_day(update.file(), std::to_string(date));
    } else {
      replace_tick_day(update.file(), std::to_string(date), ticks(date, count), scratch);
    }
  }
}

// Every calendar day trades; a day's bar is a function of the day alone.
std::optional<tallow::PriceTable> daily_bars(const std::string&, const tallow::PriceArgs& args) {
  tallow::PriceTable table;
  std::vector<double> values;
  for (auto day = sys_days(tallow::to_date(*args.start_date));
       day <= sys_days(tallow::to_date(*args.end_date)); day += std::chrono::days(1)) {
    table.order_book_ids.push_back("x");
    table.timestamps.push_back(make_datetime(Date(day)));
    values.push_back(date_to_number(Date(day)) % 1000 + 0.5);
  }
  for (const char* name : {"open", "high", "low", "close", "volume", "total_turnover"}) {
    table.add_column(name) = values;
  }
  return table;
}

const DaybarClass& daybar_class(std::string_view file_name) {
  for (const DaybarClass& cls : daybar_classes()) {
    if (cls.file_name == file_name) return cls;
  }
  throw std::logic_error("no daily-bar class " + std::string(file_name));
}

std::vector<tallow::Instrument> instruments(int count) {
  std::vector<tallow::Instrument> list = {
      {.order_book_id = "000001.XSHE", .type = "CS", .listed_date = "2005-01-04"},
      {.order_book_id = "IF0503", .type = "FUTURE", .listed_date = "2005-01-04"},
      {.order_book_id = "000300.XSHG", .type = "INDX", .listed_date = "2005-01-04"},
      {.order_book_id = "600000.XSHG", .type = "CS", .listed_date = "2005-01-10"}};
  list.resize(static_cast<std::size_t>(count));
  return list;
}

void write_plain(const fs::path& path, const std::string& bytes) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

// Each case builds its starting files without recording (they are the durable start), then
// records the writers' calls and checks every crash state. The minimum counts keep each
// scenario's enumeration from shrinking unnoticed; a sanitizer build may check a sample instead
// (TESSERA_CRASH_STATES_STRIDE).
class CrashStates : public ::testing::Test {
 protected:
  void SetUp() override { fs::create_directories(bundle_); }

  static WriteOptions recorded(CrashRecorder& recorder) {
    return {.faults = h5::FaultPlan{.recorder = &recorder}};
  }

  void record_and_check(const std::string& scenario, int min_states, unsigned seed,
                        const std::function<void(CrashRecorder&)>& run) {
    CrashRecorder recorder(bundle_);
    run(recorder);
    recorder.checkpoint();
    EXPECT_THAT(recorder.model_differences(), ::testing::IsEmpty())
        << "a call changed the disk without being recorded";
    CrashStateCounts counts = check_crash_states(recorder, states_.path(), seed);
    std::cout << counts.summary(scenario) << std::endl;
    EXPECT_GE(counts.states, min_states / testing::crash_state_stride());
    // The failures are described in the summary above.
    EXPECT_EQ(counts.wrong_files, 0) << "files neither old nor new after recovery";
    EXPECT_EQ(counts.wrong_files_other_device, 0)
        << "files neither old nor new after a reboot under another device number and recovery";
    EXPECT_EQ(counts.wrong_reads, 0) << "plain HDF5 reads of values of no version";
    EXPECT_EQ(counts.h5py_wrong, 0) << "h5py reads of values of no version";
  }

  // How often the recording cuts `name` below its starting size: a shrinking case that stopped
  // shrinking would otherwise pass without testing what it is named for.
  static int truncations_below(const CrashRecorder& recorder, const std::string& name) {
    int inode = recorder.start_names().at(name);
    std::uint64_t start = recorder.start_contents()[inode].size();
    int count = 0;
    for (const auto& op : recorder.ops()) {
      if (op.kind == testing::ModelOp::Kind::kTruncate && op.inode == inode && op.offset < start) {
        ++count;
      }
    }
    return count;
  }

  // Recovery syncs every file it rolls back: the rebuilt states go to memory where there is some.
  static fs::path scratch_parent() {
    return ::access("/dev/shm", W_OK | X_OK) == 0 ? fs::path("/dev/shm")
                                                  : fs::temp_directory_path();
  }

  TempDir dir_;
  TempDir states_{scratch_parent()};
  fs::path bundle_ = dir_.path() / "bundle";
  fs::path minbar_ = bundle_ / "h5" / "equities" / "000001.XSHE.h5";
  fs::path tick_ = bundle_ / "ticks" / "000001.XSHE.h5";
};

TEST_F(CrashStates, MinuteBarAppend) {
  fs::create_directories(minbar_.parent_path());
  create_minbar_file(minbar_, to_minbar_records(minute_bars(20050104, 20050131), EQUITIES_DTYPE));
  record_and_check("minute-bar appends", 150, 1, [&](CrashRecorder& recorder) {
    for (int end : weekday_numbers(20050201, 20050214)) {
      update_minbar_file(minbar_.string(), minbar_source(end), recorded(recorder));
      recorder.checkpoint();
    }
  });
}

// Revised days are cut and written again with the new ones, in the same commit.
TEST_F(CrashStates, MinuteBarRevision) {
  fs::create_directories(minbar_.parent_path());
  create_minbar_file(minbar_, to_minbar_records(minute_bars(20050104, 20050131), EQUITIES_DTYPE));
  record_and_check("minute-bar revisions", 150, 5, [&](CrashRecorder& recorder) {
    double revision = 0;
    for (int end : weekday_numbers(20050201, 20050211)) {
      revision += 0.25;
      const StoredCounts stored =
          update_minbar_file(minbar_.string(), revising_source(end, revision), recorded(recorder));
      EXPECT_EQ(stored.revised_days.size(), 3u);
      recorder.checkpoint();
    }
  });
}

// The recovery itself, from the state that needs the most undone: an append cut just before its new
// signature (the new bytes durable, the file hidden, its record complete). A power cut anywhere in
// the rollback must leave a file that plain readers read whole or cannot open, and that the next
// recovery makes the old file.
TEST_F(CrashStates, RollbackOfAnInterruptedAppend) {
  fs::create_directories(minbar_.parent_path());
  create_minbar_file(minbar_, to_minbar_records(minute_bars(20050104, 20050131), EQUITIES_DTYPE));
  const std::string old_bytes = read_tree(bundle_).at("h5/equities/000001.XSHE.h5");
  struct WriteCounter final : IoRecorder {
    int writes = 0;
    void wrote(int, const void*, std::size_t, off_t) override { ++writes; }
    void truncated(int, off_t) override {}
    void synced(int) override {}
    void renamed(const std::string&, const std::string&) override {}
    void unlinked(const std::string&) override {}
  } counter;
  const fs::path copy = dir_.path() / "copy" / "h5" / "equities" / "000001.XSHE.h5";
  fs::create_directories(copy.parent_path());
  fs::copy_file(minbar_, copy);
  update_minbar_file(copy.string(), minbar_source(20050204),
                     {.faults = h5::FaultPlan{.recorder = &counter}});
  // The new signature is the commit's last write.
  const pid_t child = ::fork();
  if (child == 0) {
    update_minbar_file(
        minbar_.string(), minbar_source(20050204),
        {.faults = h5::FaultPlan{
             .call = h5::FaultPlan::Call::kWrite, .nth = counter.writes, .crash = true}});
    ::_exit(0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == h5::kFaultCrashStatus);
  ASSERT_TRUE(fs::exists(h5::rollback_path(minbar_.string())));
  record_and_check("a rollback", 20, 12, [&](CrashRecorder& recorder) {
    h5::File::open_journaled(minbar_.string(), h5::Mode::kReadOnly,
                             h5::FaultPlan{.recorder = &recorder})
        .close();
  });
  EXPECT_TRUE(read_tree(bundle_).at("h5/equities/000001.XSHE.h5") == old_bytes);
}

// Two files' appends committed as one group: their records and hidden signatures share one
// barrier, their new bytes another, and each file must still be old or new by itself in every
// state, whatever the other's.
TEST_F(CrashStates, MinuteBarAppendsCommittedAsAGroup) {
  const fs::path second = minbar_.parent_path() / "000002.XSHE.h5";
  fs::create_directories(minbar_.parent_path());
  create_minbar_file(minbar_, to_minbar_records(minute_bars(20050104, 20050131), EQUITIES_DTYPE));
  create_minbar_file(second, to_minbar_records(minute_bars(20050104, 20050128), EQUITIES_DTYPE));
  record_and_check("minute-bar appends committed as a group", 300, 9, [&](CrashRecorder& recorder) {
    for (int end : weekday_numbers(20050201, 20050209)) {
      h5::CommitGroup group;
      WriteOptions options = recorded(recorder);
      options.commit_group = &group;
      update_minbar_file(minbar_.string(), minbar_source(end), options);
      update_minbar_file(second.string(), minbar_source(end), options);
      ASSERT_EQ(group.pending_files(), 2u);
      group.commit();
      recorder.checkpoint();
    }
  });
}

// The last stored days read as zeros (damage by other means): the repair cuts them, and with
// nothing newer to fetch the file ends shorter than it began. Several days, so that whole chunks
// go and not only the last one's tail, which is rewritten in its old place.
TEST_F(CrashStates, ShrinkingRepair) {
  fs::create_directories(minbar_.parent_path());
  create_minbar_file(minbar_, to_minbar_records(minute_bars(20050104, 20050331), EQUITIES_DTYPE));
  {
    h5::File file = h5::File::open(minbar_.string(), h5::Mode::kAppend);
    h5::Dataset data = h5::Dataset::open(file, "data");
    constexpr h5::Size kRows = 240 * 30;
    std::vector<std::byte> zeros(kRows * EQUITIES_DTYPE.size);
    data.write(EQUITIES_DTYPE, data.length() - kRows, kRows, zeros.data());
    file.close();
  }
  record_and_check("a shrinking repair", 80, 2, [&](CrashRecorder& recorder) {
    update_minbar_file(minbar_.string(), minbar_source(20050215), recorded(recorder));
    EXPECT_GE(truncations_below(recorder, "h5/equities/000001.XSHE.h5"), 1)
        << "the repair must cut the file's end for this case to test it";
    recorder.checkpoint();
    // The next days' append reuses the freed space.
    update_minbar_file(minbar_.string(), minbar_source(20050216), recorded(recorder));
  });
}

TEST_F(CrashStates, TickBatchesWithSuspensionMarkers) {
  fs::create_directories(tick_.parent_path());
  update_tick_file(tick_, [](TickFileUpdate& update) {
    write_tick_batch(update, {{20050104, 400}, {20050105, 400}, {20050106, 0}});
  });
  record_and_check("tick batches with markers", 150, 3, [&](CrashRecorder& recorder) {
    TickFileUpdate update(tick_, recorded(recorder));
    // The stored last day again, with fewer ticks, and a suspension.
    write_tick_batch(update, {{20050105, 250}, {20050107, 0}, {20050110, 400}});
    update.commit();
    recorder.checkpoint();
    write_tick_batch(update, {{20050111, 0}, {20050112, 400}});
    update.commit();
    recorder.checkpoint();
    write_tick_batch(update, {{20050113, 400}, {20050114, 400}, {20050117, 0}});
    update.finish();
  });
}

// An update worker's group: a minute-bar append and a tick file's batches wait in one group, and
// the tick file's second batch opens it again, which commits the group (the append and the first
// batch) before it goes on; the rest commits at the end.
TEST_F(CrashStates, TickBatchesAndAnAppendCommittedInAWorkersGroup) {
  fs::create_directories(minbar_.parent_path());
  create_minbar_file(minbar_, to_minbar_records(minute_bars(20050104, 20050131), EQUITIES_DTYPE));
  fs::create_directories(tick_.parent_path());
  update_tick_file(tick_, [](TickFileUpdate& update) {
    write_tick_batch(update, {{20050104, 400}, {20050105, 400}});
  });
  record_and_check("tick batches and an append in a group", 900, 11, [&](CrashRecorder& recorder) {
    h5::CommitGroup group;
    WriteOptions options = recorded(recorder);
    options.commit_group = &group;
    update_minbar_file(minbar_.string(), minbar_source(20050207), options);
    TickFileUpdate update(tick_, options);
    write_tick_batch(update, {{20050105, 250}, {20050106, 0}, {20050107, 400}});
    update.commit();
    ASSERT_EQ(group.pending_files(), 2u);
    write_tick_batch(update, {{20050110, 400}, {20050111, 0}});
    ASSERT_EQ(group.pending_files(), 0u);
    recorder.checkpoint();
    update.finish();
    update_minbar_file(minbar_.string(), minbar_source(20050209), options);
    ASSERT_EQ(group.pending_files(), 2u);
    group.commit();
  });
}

TEST_F(CrashStates, NewFilesArePublishedWhole) {
  fs::create_directories(minbar_.parent_path());
  fs::create_directories(tick_.parent_path());
  record_and_check("new files' publish", 60, 4, [&](CrashRecorder& recorder) {
    create_minbar_file(minbar_, to_minbar_records(minute_bars(20050104, 20050110), EQUITIES_DTYPE),
                       recorded(recorder));
    recorder.checkpoint();
    // A new tick file: its first batch is published, the next one journaled.
    TickFileUpdate update(tick_, recorded(recorder));
    write_tick_batch(update, {{20050104, 300}, {20050105, 0}});
    update.commit();
    recorder.checkpoint();
    write_tick_batch(update, {{20050106, 300}});
    update.finish();
  });
}

// Rebuilds of existing files: a minute-bar file rebuilt from batches, one without `index`
// rebuilt in place, and a tick file rebuilt over several batches. Each is built beside the old file
// and renamed over it, so in every state the file is its old or its new self, never missing.
TEST_F(CrashStates, RebuildsReplaceTheOldFileWhole) {
  const fs::path no_index = minbar_.parent_path() / "000002.XSHE.h5";
  fs::create_directories(minbar_.parent_path());
  fs::create_directories(tick_.parent_path());
  create_minbar_file(minbar_, to_minbar_records(minute_bars(20050104, 20050121), EQUITIES_DTYPE));
  create_minbar_file(no_index, to_minbar_records(minute_bars(20050104, 20050107), EQUITIES_DTYPE));
  {
    h5::File file = h5::File::open(no_index.string(), h5::Mode::kAppend);
    file.remove("index");
    file.close();
  }
  update_tick_file(tick_, [](TickFileUpdate& update) {
    write_tick_batch(update, {{20050104, 400}, {20050105, 0}, {20050106, 400}});
  });
  record_and_check("rebuilds of existing files", 80, 10, [&](CrashRecorder& recorder) {
    {
      MinbarBuild build(minbar_, recorded(recorder));
      build.add(to_minbar_records(minute_bars(20050104, 20050114), EQUITIES_DTYPE));
      build.add(to_minbar_records(minute_bars(20050117, 20050128), EQUITIES_DTYPE));
      build.publish();
    }
    recorder.checkpoint();
    update_minbar_file(no_index.string(), minbar_source(20050112), recorded(recorder));
    recorder.checkpoint();
    update_tick_file(
        tick_,
        [](TickFileUpdate& update) {
          write_tick_batch(update, {{20050104, 300}, {20050105, 300}});
          update.commit();
          write_tick_batch(update, {{20050106, 0}, {20050107, 300}});
        },
        recorded(recorder), /*replace=*/true);
  });
}

TEST_F(CrashStates, DailyBarClassFiles) {
  testing::ScopedScriptedService service;
  service->on_get_price = daily_bars;
  for (const char* name : {"stocks.h5", "futures.h5"}) {
    update_daybar_file((bundle_ / name).string(), daybar_class(name), instruments(2), 20050120,
                       true, true);
  }
  record_and_check("the daily-bar class files", 150, 5, [&](CrashRecorder& recorder) {
    for (int end : {20050131, 20050201, 20050202}) {
      for (const char* name : {"stocks.h5", "futures.h5", "indexes.h5"}) {
        update_daybar_file((bundle_ / name).string(), daybar_class(name), instruments(4), end, true,
                           false, recorded(recorder));
        recorder.checkpoint();
      }
    }
  });
}

TEST_F(CrashStates, CalendarAndInstrumentList) {
  // Twenty years of dates, as the bundle holds: a file of several pages.
  auto calendar = [](int to) {
    std::vector<std::int64_t> dates;
    for (int d : weekday_numbers(20050104, to)) dates.push_back(d);
    return npy_bytes(dates);
  };
  auto listing = [](int count) {
    std::vector<tallow::Instrument> list;
    for (int i = 0; i < count; ++i) {
      list.push_back({.order_book_id = std::to_string(600000 + i) + ".XSHG",
                      .symbol = "stock " + std::to_string(i),
                      .type = "CS",
                      .listed_date = "2005-01-04"});
    }
    return instrument_list_bytes(list);
  };
  write_plain(trading_calendar_file(bundle_), calendar(20241231));
  write_plain(instrument_list_file(bundle_), listing(100));
  record_and_check("the calendar and the instrument list", 5, 6, [&](CrashRecorder& recorder) {
    write_file_atomically(trading_calendar_file(bundle_), calendar(20250131), &recorder);
    recorder.checkpoint();
    write_file_atomically(instrument_list_file(bundle_), listing(120), &recorder);
  });
}

TEST_F(CrashStates, SampleSwap) {
  const fs::path staging = bundle_ / ".staging";
  auto minbars = [](int to) {
    return to_minbar_records(minute_bars(20050104, to), EQUITIES_DTYPE);
  };
  write_plain(trading_calendar_file(bundle_), "old calendar");
  create_minbar_file(bundle_ / "stocks.h5", minbars(20050105));
  write_plain(staging / "trading_dates.npy", "new calendar");
  fs::create_directories(staging / "h5" / "equities");
  create_minbar_file(staging / "stocks.h5", minbars(20050110));
  write_plain(staging / "instruments.pk", "a new instrument list");
  create_minbar_file(staging / "h5" / "equities" / "000001.XSHE.h5", minbars(20050106));
  std::vector<StagedMember> members;
  for (const char* name :
       {"trading_dates.npy", "stocks.h5", "instruments.pk", "h5/equities/000001.XSHE.h5"}) {
    members.push_back({.path = name, .mode = 0644, .size = fs::file_size(staging / name)});
  }
  members.push_back({.path = "h5", .directory = true, .mode = 0755});
  members.push_back({.path = "h5/equities", .directory = true, .mode = 0755});
  record_and_check("the sample swap", 40, 7, [&](CrashRecorder& recorder) {
    move_staged_members(staging.string(), bundle_.string(), members, 0, &recorder);
  });
}

// The enumeration itself: a publish that renames before syncing the file's data, and an in-place
// overwrite without a journal, must each leave states it counts as wrong.
TEST_F(CrashStates, TheEnumerationCatchesUnsafeWriters) {
  const fs::path list = instrument_list_file(bundle_);
  write_plain(list, std::string(9000, 'o'));
  CrashRecorder recorder(bundle_);
  const std::string temp = (bundle_ / ".instruments.pk.tmp-1").string();
  int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  ASSERT_GE(fd, 0);
  const std::string fresh(9000, 'n');
  ASSERT_EQ(::pwrite(fd, fresh.data(), fresh.size(), 0), static_cast<ssize_t>(fresh.size()));
  recorder.wrote(fd, fresh.data(), fresh.size(), 0);
  ::close(fd);
  fs::rename(temp, list);
  recorder.renamed(temp, list.string());
  sync_path(bundle_, &recorder);  // the rename is durable, the data it names is not
  recorder.checkpoint();
  // In place, unjournaled: the old bytes are gone before the new ones are durable.
  fd = ::open(list.c_str(), O_WRONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  const std::string newer(9000, 'x');
  ASSERT_EQ(::pwrite(fd, newer.data(), newer.size(), 0), static_cast<ssize_t>(newer.size()));
  recorder.wrote(fd, newer.data(), newer.size(), 0);
  ::close(fd);
  recorder.checkpoint();
  EXPECT_THAT(recorder.model_differences(), ::testing::IsEmpty());
  CrashStateCounts counts = check_crash_states(recorder, states_.path(), 8);
  EXPECT_GE(counts.wrong_files, 2) << counts.summary("unsafe writers");
  EXPECT_GE(counts.wrong_reads, 2) << counts.summary("unsafe writers");
}

}  // namespace
}  // namespace tessera_plus::bundle
