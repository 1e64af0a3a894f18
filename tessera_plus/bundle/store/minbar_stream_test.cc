// Building a minute-bar file from batches: the date ranges they cover, and the file they make
// compared chunk by chunk with the one built from all the bars at once.
#include "tessera_plus/bundle/store/minbar_stream.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "tessera_plus/base/errors.h"
#include "tessera_plus/bundle/store/minbar_file.h"
#include "tessera_plus/bundle/store/minbar_writer.h"
#include "tessera_plus/bundle/store/records.h"
#include "tests/support/stored_chunks.h"
#include "tests/support/temp_dir.h"

namespace tessera_plus::bundle {
namespace {

namespace fs = std::filesystem;
using testing::stored_dataset;
using testing::TempDir;

TEST(BatchRanges, CoverEveryDateOnceAcrossMonthsYearsAndLeapDays) {
  const std::vector<DateRange> ranges = batch_ranges(20231230, 20240302, 31);
  ASSERT_EQ(ranges.size(), 3u);
  EXPECT_EQ(ranges[0].first, 20231230);
  EXPECT_EQ(ranges[0].last, 20240129);
  EXPECT_EQ(ranges[1].first, 20240130);
  EXPECT_EQ(ranges[1].last, 20240229);
  EXPECT_EQ(ranges[2].first, 20240301);
  EXPECT_EQ(ranges[2].last, 20240302);  // the end date, not a whole batch

  const std::vector<DateRange> days = batch_ranges(20240228, 20240301, 1);
  ASSERT_EQ(days.size(), 3u);
  EXPECT_EQ(days[1].first, 20240229);
  EXPECT_EQ(days[1].last, 20240229);

  ASSERT_EQ(batch_ranges(20240105, 20240105, 366).size(), 1u);
  EXPECT_TRUE(batch_ranges(20240106, 20240105, 366).empty());
  EXPECT_THROW(batch_ranges(20240101, 20240105, 0), ValueError);
}

// Bars of consecutive minutes; every `per_day` bars form a trading day, and the first
// `night` bars of each day are stamped the evening before (as a future's night session is).
struct Series {
  std::vector<EquityBar> bars;
  std::vector<int> trading_dates;  // one per bar
};

Series series(int count, int per_day, int night) {
  Series s;
  for (int i = 0; i < count; ++i) {
    const int day = i / per_day, minute = i % per_day;
    const int trading_date = 20240102 + day * 2;  // every other calendar day
    const bool at_night = minute < night;
    const std::int64_t date = at_night ? trading_date - 1 : trading_date;
    const std::int64_t hhmm = at_night ? 2100 + minute : 900 + minute % 60 + (minute / 60) * 100;
    const double p = 10 + (i % 89) * 0.01;
    s.bars.push_back({date * 1000000 + hhmm * 100, p, p + 0.02, p - 0.01, p, 100.0 * (i % 7), p});
    s.trading_dates.push_back(trading_date);
  }
  return s;
}

// Rows [first, last) of `s` as one fetch would give them: `line_no` from the first of them.
MinbarRecords records(const Series& s, std::size_t first, std::size_t last) {
  MinbarRecords r{&EQUITIES_DTYPE, {}, last - first, {}};
  const auto* bytes = reinterpret_cast<const std::byte*>(s.bars.data() + first);
  r.data.assign(bytes, bytes + r.rows * sizeof(EquityBar));
  for (std::size_t row = first; row < last; ++row) {
    if (row == first || s.trading_dates[row] != s.trading_dates[row - 1]) {
      r.index.push_back({s.trading_dates[row], static_cast<std::uint32_t>(row - first)});
    }
  }
  return r;
}

void expect_same_chunks(const std::string& a, const std::string& b) {
  EXPECT_EQ(stored_dataset(a, "data", MINBAR_DATA_CHUNK),
            stored_dataset(b, "data", MINBAR_DATA_CHUNK));
  EXPECT_EQ(stored_dataset(a, "index", MINBAR_INDEX_CHUNK),
            stored_dataset(b, "index", MINBAR_INDEX_CHUNK));
}

// Batches cut anywhere (inside a chunk, exactly on a chunk's end, inside a trading day's night
// bars, one bar long, empty) store what one batch of all the bars stores.
TEST(MinbarStream, BatchesCutAnywhereStoreTheChunksOfOneBatch) {
  TempDir dir;
  const Series s = series(5 * 1024 + 300, 250, 3);
  const std::string whole = dir / "whole.h5", streamed = dir / "streamed.h5";
  create_minbar_file(whole, records(s, 0, s.bars.size()));

  const std::vector<std::size_t> cuts = {0,    2,    751,  1024, 1025,
                                         1025, 2048, 2999, 4444, s.bars.size()};
  MinbarBuild build(streamed, {});
  for (std::size_t k = 0; k + 1 < cuts.size(); ++k) build.add(records(s, cuts[k], cuts[k + 1]));
  EXPECT_EQ(build.publish(), s.bars.size());
  expect_same_chunks(whole, streamed);

  // One batch through the stream is what create_minbar_file makes as well.
  const std::string one = dir / "one.h5";
  MinbarBuild single(one, {});
  single.add(records(s, 0, s.bars.size()));
  single.publish();
  expect_same_chunks(whole, one);
}

TEST(MinbarStream, RefusesBatchesThatDoNotFollowAndPublishesNothingWithoutBars) {
  TempDir dir;
  const Series s = series(600, 250, 0);
  {
    MinbarBuild build(dir / "a.h5", {});
    build.add(records(s, 0, 300));
    EXPECT_THROW(build.add(records(s, 299, 600)), ValueError);  // its first bar is stored already
    EXPECT_THROW(build.add(records(s, 100, 200)), ValueError);
  }
  {
    MinbarBuild empty(dir / "b.h5", {});
    empty.add(records(s, 0, 0));
    EXPECT_EQ(empty.publish(), 0u);
  }
  // Neither the abandoned nor the empty build leaves a file, under its name or a temporary one.
  EXPECT_TRUE(fs::is_empty(dir.path()));
}

}  // namespace
}  // namespace tessera_plus::bundle
