// Which rows a span of trading dates covers, found through `index` alone: the day at either end,
// spans between stored days or past them, and an `index` that no span can trust.
#include "tessera_plus/bundle/store/minbar_range.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <fstream>
#include <utility>
#include <vector>

#include "tessera_plus/base/errors.h"
#include "tessera_plus/bundle/store/bundle_layout.h"
#include "tessera_plus/bundle/store/minbar_file.h"
#include "tessera_plus/h5/file.h"
#include "tests/support/temp_dir.h"

namespace tessera_plus::bundle {
namespace {

using testing::TempDir;

// An `index` dataset alone; `data` is only its length (10 rows unless a test says otherwise).
struct IndexFile {
  TempDir dir;
  h5::File file;
  explicit IndexFile(const std::vector<IndexEntry>& entries)
      : file(h5::File::open(dir / "i.h5", h5::Mode::kAppend)) {
    h5::Dataset::create(file, "index", INDEX_DTYPE, entries.data(), entries.size(),
                        minbar_creation(MINBAR_INDEX_CHUNK));
  }
  MinbarRange range(int first, int last, h5::Size data_length = 10) {
    return minbar_range(h5::Dataset::open(file, "index"), data_length, first, last);
  }
};

// Days 20240603 (rows 0-3), 20240605 (4-6) and 20240607 (7-9); 20240604 has no bars.
const std::vector<IndexEntry> kDays = {{20240603, 0}, {20240605, 4}, {20240607, 7}};

TEST(MinbarRange, SpansCoverWholeDaysFromTheirLineNoToTheNextDays) {
  IndexFile f(kDays);
  MinbarRange middle = f.range(20240605, 20240605);
  EXPECT_EQ(middle.begin, 4u);
  EXPECT_EQ(middle.end, 7u);
  ASSERT_EQ(middle.days.size(), 1u);
  EXPECT_EQ(middle.days[0].date, 20240605);
  MinbarRange last = f.range(20240606, 20991231);  // the last day runs to the end of `data`
  EXPECT_EQ(last.begin, 7u);
  EXPECT_EQ(last.end, 10u);
  MinbarRange all = f.range(10000101, 29991231);
  EXPECT_EQ(all.begin, 0u);
  EXPECT_EQ(all.end, 10u);
  EXPECT_EQ(all.days.size(), 3u);
  MinbarRange first_two = f.range(20240603, 20240606);
  EXPECT_EQ(first_two.begin, 0u);
  EXPECT_EQ(first_two.end, 7u);
}

TEST(MinbarRange, SpansWithoutAStoredDayAreEmpty) {
  IndexFile f(kDays);
  for (auto [first, last] : {std::pair{20240604, 20240604}, std::pair{20240101, 20240602},
                             std::pair{20240608, 20991231}, std::pair{20240607, 20240603}}) {
    MinbarRange r = f.range(first, last);
    EXPECT_TRUE(r.days.empty()) << first << ".." << last;
    EXPECT_EQ(r.end - r.begin, 0u) << first << ".." << last;
  }
  IndexFile empty({});
  EXPECT_TRUE(empty.range(10000101, 29991231, 0).days.empty());
}

TEST(MinbarRange, AnIndexThatGoesBackwardsOrPastDataIsDamage) {
  IndexFile backwards({{20240603, 0}, {20240605, 6}, {20240607, 5}});
  EXPECT_THROW(backwards.range(20240603, 20240603), OSError);
  IndexFile f(kDays);
  EXPECT_THROW(f.range(20240603, 20240603, 6), OSError);  // day 20240607 starts at row 7 of 6
}

TEST(FindMinbarFile, LooksInEveryClassDirectoryAndRefusesUnsafeIds) {
  TempDir root;
  const auto minbar = minbar_dir(bundle_dir(root.path()));
  std::filesystem::create_directories(class_dir(minbar, OPTION_DIR));
  const auto option = instrument_file(class_dir(minbar, OPTION_DIR), "IO2406-C-3500");
  std::ofstream(option) << "x";
  EXPECT_EQ(find_minbar_file(root.path(), "IO2406-C-3500"), option);
  try {
    find_minbar_file(root.path(), "000001.XSHE");
    FAIL() << "found a file that does not exist";
  } catch (const OSError& e) {
    EXPECT_EQ(e.error_number(), ENOENT);
  }
  EXPECT_THROW(find_minbar_file(root.path(), "../option/IO2406-C-3500"), ValueError);
  EXPECT_EQ(tick_file(root.path(), "000001.XSHE"),
            bundle_dir(root.path()) / "ticks" / "000001.XSHE.h5");
}

}  // namespace
}  // namespace tessera_plus::bundle
