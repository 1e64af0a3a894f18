// Looking again at a minute-bar file's last stored days: what the service's answer for them makes
// the update cut and append, and the cases where a revision must not cost a stored day.
#include "tessera_plus/bundle/store/minbar_recheck.h"

#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <vector>

#include "tessera_plus/h5/file.h"
#include "tests/support/check_fixtures.h"
#include "tests/support/temp_dir.h"

namespace tessera_plus::bundle {
namespace {

constexpr int kBarsPerDay = 3;

// A fetched day: its date, and whether the service now answers it with another close.
struct Answer {
  int date;
  bool revised = false;
  int bars = kBarsPerDay;
};

class Recheck : public ::testing::Test {
 protected:
  // Stored: 20240624, 20240625, 20240627, 20240628 (the file lacks 20240626), each of
  // kBarsPerDay bars; the next day is 20240701.
  void SetUp() override {
    testing::write_minbar_file(path(),
                               {{20240624, 20240624093100},
                                {20240625, 20240625093100},
                                {20240627, 20240627093100},
                                {20240628, 20240628093100}},
                               EQUITIES_DTYPE, kBarsPerDay);
    file_.emplace(h5::File::open(path(), h5::Mode::kReadOnly));
  }
  std::string path() const { return dir_ / "m.h5"; }

  // The service's records for `answers`, built the way the stored bars were.
  static MinbarRecords fetched(const std::vector<Answer>& answers) {
    MinbarRecords records{.layout = &EQUITIES_DTYPE, .data = {}, .rows = 0, .index = {}};
    for (const Answer& a : answers) {
      records.index.push_back({a.date, static_cast<std::uint32_t>(records.rows)});
      for (int k = 0; k < a.bars; ++k) {
        EquityBar bar{};
        bar.datetime = static_cast<std::int64_t>(a.date) * 1'000'000 + 93100 + 100 * k;
        if (a.revised) bar.close = 1.5;
        const auto* bytes = reinterpret_cast<const std::byte*>(&bar);
        records.data.insert(records.data.end(), bytes, bytes + sizeof bar);
        ++records.rows;
      }
    }
    return records;
  }
  WindowRevision compare(int days, const std::vector<Answer>& answers) {
    const h5::Dataset index = h5::Dataset::open(*file_, "index");
    const h5::Dataset data = h5::Dataset::open(*file_, "data");
    return compare_window(data, recheck_window(index, data, days), fetched(answers));
  }

  testing::TempDir dir_;
  std::optional<h5::File> file_;
};

TEST_F(Recheck, AnUnchangedWindowKeepsEveryDayAndAppendsOnlyTheNewOnes) {
  const WindowRevision r = compare(2, {{20240627}, {20240628}, {20240701}});
  EXPECT_EQ(r.keep_entries, 2u);
  EXPECT_EQ(r.append_from, 2u);
  EXPECT_TRUE(r.revised_days.empty());
  // A window longer than the file is the whole file.
  EXPECT_EQ(compare(9, {{20240624}, {20240625}, {20240627}, {20240628}}).keep_entries, 4u);
}

TEST_F(Recheck, TheFileIsCutFromTheFirstDayThatDiffers) {
  // A corrected close, then a day stored short (the service now has more bars).
  WindowRevision r = compare(3, {{20240625}, {20240627, true}, {20240628, false, 4}, {20240701}});
  EXPECT_EQ(r.keep_entries, 1u);
  EXPECT_EQ(r.append_from, 1u);
  EXPECT_EQ(r.revised_days, (std::vector<int>{20240627, 20240628}));
  // A day the file lacked inside the window is a revision too, where it falls.
  r = compare(3, {{20240625}, {20240626}, {20240627}, {20240628}});
  EXPECT_EQ(r.keep_entries, 1u);
  EXPECT_EQ(r.append_from, 1u);
  EXPECT_EQ(r.revised_days, (std::vector<int>{20240626}));
}

// The service no longer answering for a stored day is no reason to lose it.
TEST_F(Recheck, AStoredDayTheServiceNoLongerAnswersIsNeverCut) {
  // Missing before the revised day: the cut comes after it.
  WindowRevision r = compare(3, {{20240625}, {20240628, true}, {20240701}});
  EXPECT_EQ(r.keep_entries, 2u);
  EXPECT_EQ(r.append_from, 1u);
  EXPECT_EQ(r.revised_days, (std::vector<int>{20240628}));
  // Missing after it: nothing is revised and only the new day is appended.
  r = compare(3, {{20240625, true}, {20240628}, {20240701}});
  EXPECT_EQ(r.keep_entries, 3u);
  EXPECT_EQ(r.append_from, 2u);
  EXPECT_TRUE(r.revised_days.empty());
  // An answer that starts before the window leaves the days before it alone.
  r = compare(1, {{20240627, true}, {20240628}, {20240701}});
  EXPECT_EQ(r.keep_entries, 1u);
  EXPECT_EQ(r.append_from, 2u);
  EXPECT_TRUE(r.revised_days.empty());
}

TEST_F(Recheck, RecordsFromADayCountTheirLinesFromThemselves) {
  const MinbarRecords all = fetched({{20240627}, {20240628, false, 2}});
  const MinbarRecords tail = records_from(all, 1);
  ASSERT_EQ(tail.rows, 2u);
  ASSERT_EQ(tail.index.size(), 1u);
  EXPECT_EQ(tail.index[0].date, 20240628);
  EXPECT_EQ(tail.index[0].line_no, 0u);
  EXPECT_EQ(std::memcmp(tail.data.data(), all.data.data() + kBarsPerDay * sizeof(EquityBar),
                        tail.data.size()),
            0);
  EXPECT_EQ(records_from(all, 2).rows, 0u);
}

}  // namespace
}  // namespace tessera_plus::bundle
