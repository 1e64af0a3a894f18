// The bundle layout: every path the module builds, the file name <-> id rule, and which entries of
// a directory count as instrument files for the checks and for the smart update.
#include "tessera_plus/bundle/store/bundle_layout.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>

#include "tessera_plus/base/errors.h"
#include "tests/support/temp_dir.h"

namespace tessera_plus::bundle {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::UnorderedElementsAre;

TEST(BundleLayout, JoinsEveryPathUnderTheRoot) {
  const fs::path bundle = bundle_dir("/data");
  EXPECT_EQ(bundle, "/data/bundle");
  EXPECT_EQ(minbar_dir(bundle), "/data/bundle/h5");
  EXPECT_EQ(tick_dir(bundle), "/data/bundle/ticks");
  EXPECT_EQ(trading_calendar_file(bundle), "/data/bundle/trading_dates.npy");
  EXPECT_EQ(suspensions_file(bundle), "/data/bundle/suspended_days.h5");
  EXPECT_EQ(instrument_list_file(bundle), "/data/bundle/instruments.pk");
  EXPECT_EQ(run_lock_file(bundle), "/data/bundle/.tessera_plus-run.lock");
  EXPECT_EQ(class_dir(minbar_dir(bundle), FUTURE_DIR), "/data/bundle/h5/future");
  EXPECT_EQ(instrument_file(class_dir(minbar_dir(bundle), EQUITIES_DIR), "000001.XSHE"),
            "/data/bundle/h5/equities/000001.XSHE.h5");
  EXPECT_EQ(instrument_file(tick_dir(bundle), "IF2001"), "/data/bundle/ticks/IF2001.h5");
}

TEST(BundleLayout, RootsWithATrailingSlashOrNoneAtAllJoinWithOneSeparator) {
  EXPECT_EQ(bundle_dir("/data/").string(), "/data/bundle");
  EXPECT_EQ(bundle_dir("/").string(), "/bundle");
  EXPECT_EQ(bundle_dir("").string(), "bundle");  // relative to the working directory
  EXPECT_EQ(bundle_dir("rel/dir").string(), "rel/dir/bundle");
  // An empty class directory name stands for the directory itself.
  EXPECT_EQ(instrument_file(class_dir("/d/h5", ""), "A").string(), "/d/h5/A.h5");
}

TEST(BundleLayout, ClassDirectoriesInReportingOrderAndTheirDayRule) {
  EXPECT_THAT(MINBAR_CLASS_DIRS, ElementsAre("equities", "future", "option"));
  EXPECT_FALSE(is_derivatives_class_dir("equities"));
  EXPECT_TRUE(is_derivatives_class_dir("future"));
  EXPECT_TRUE(is_derivatives_class_dir("option"));
  EXPECT_FALSE(is_derivatives_class_dir("futures"));  // the tag, not the directory
  EXPECT_FALSE(is_derivatives_class_dir("Future"));
  EXPECT_FALSE(is_derivatives_class_dir(""));
}

TEST(BundleLayout, FileNamesAndOrderBookIds) {
  EXPECT_EQ(instrument_file_name("000001.XSHE"), "000001.XSHE.h5");
  EXPECT_EQ(order_book_id_of_file("000001.XSHE.h5"), "000001.XSHE");
  EXPECT_EQ(order_book_id_of_file("/b/h5/equities/000001.XSHE.h5"), "000001.XSHE");
  EXPECT_EQ(order_book_id_of_file("/b/ticks/A.h5.h5"), "A.h5");  // only the final suffix goes
  EXPECT_EQ(order_book_id_of_file("/b/ticks/README"), "README");
  EXPECT_EQ(order_book_id_of_file("/b/ticks/A.H5"), "A.H5");  // the suffix is case-sensitive
  for (const char* id : {"000001.XSHE", "IF2001", "00700.XHKG"}) {
    EXPECT_EQ(order_book_id_of_file(instrument_file(tick_dir("/r"), id).string()), id);
  }
}

TEST(BundleLayout, UnsafeNamesAreValueErrorsNamingWhatWasGiven) {
  for (const std::string& name :
       {std::string(""), std::string("a/b"), std::string(".."), std::string("x..y"),
        std::string("../000001.XSHE"), std::string("a\0b", 3)}) {
    EXPECT_THROW(require_safe_name("order_book_id", name), ValueError) << name;
  }
  EXPECT_NO_THROW(require_safe_name("order_book_id", "000001.XSHE"));
  EXPECT_NO_THROW(require_safe_name("file_name", ".hidden.h5"));
  try {
    require_safe_name("file_name", "a/b");
    FAIL();
  } catch (const ValueError& e) {
    EXPECT_STREQ(e.what(), "unsafe file_name 'a/b': it must be a plain file name");
  }
}

// A directory holding one of each kind of entry that an instrument listing must sort out.
class InstrumentListing : public ::testing::Test {
 protected:
  void touch(const fs::path& path) {
    fs::create_directories(path.parent_path());
    std::ofstream(path) << "x";
  }

  // Fills `dir` and returns it as text.
  std::string fill(const fs::path& dir) {
    touch(dir / "A.h5");
    touch(dir / "B-sample.h5");
    touch(dir / ".C.h5");            // hidden
    touch(dir / ".D.h5.tmp-123-4");  // a build in progress
    touch(dir / "E.H5");             // upper-case suffix
    touch(dir / "F.txt");
    fs::create_directories(dir / "G.h5");                  // a directory
    EXPECT_EQ(::mkfifo((dir / "H.h5").c_str(), 0644), 0);  // would block an open
    fs::create_symlink(dir / "A.h5", dir / "I.h5");        // counts as what it points to
    fs::create_symlink(dir / "gone", dir / "J.h5");        // dangling
    return dir.string();
  }

  static std::vector<std::string> names(const std::vector<std::string>& paths) {
    std::vector<std::string> out;
    for (const std::string& p : paths) out.push_back(fs::path(p).filename().string());
    return out;
  }

  testing::TempDir tmp_;
};

TEST_F(InstrumentListing, ChecksListVisibleRegularH5FilesAsJoinedPaths) {
  const std::string dir = fill(tmp_.path() / "ticks");
  const std::vector<std::string> paths = list_instrument_files(dir);
  EXPECT_THAT(names(paths), UnorderedElementsAre("A.h5", "B-sample.h5", "I.h5"));
  for (const std::string& path : paths) EXPECT_EQ(fs::path(path).parent_path(), dir);
  EXPECT_THAT(list_instrument_files(dir + "/"),
              UnorderedElementsAre(dir + "/A.h5", dir + "/B-sample.h5", dir + "/I.h5"));
}

TEST_F(InstrumentListing, AMissingDirectoryListsNothingForTheChecks) {
  EXPECT_TRUE(list_instrument_files((tmp_.path() / "missing").string()).empty());
  touch(tmp_.path() / "file");
  EXPECT_TRUE(list_instrument_files((tmp_.path() / "file").string()).empty());
  EXPECT_TRUE(list_minbar_files((tmp_.path() / "missing").string()).empty());
}

TEST_F(InstrumentListing, MinuteBarFilesAreExactlyOneLevelBelowVisibleDirectories) {
  const fs::path h5 = tmp_.path() / "h5";
  fill(h5 / "equities");
  touch(h5 / "future" / "IF2001.h5");
  touch(h5 / "ticks" / "T.h5");            // any visible folder name counts for the checks
  touch(h5 / ".hidden" / "X.h5");          // a hidden folder does not
  touch(h5 / "Y.h5");                      // nor a file directly in h5
  touch(h5 / "future" / "deep" / "Z.h5");  // nor one two levels down
  EXPECT_THAT(names(list_minbar_files(h5.string())),
              UnorderedElementsAre("A.h5", "B-sample.h5", "I.h5", "IF2001.h5", "T.h5"));
  const std::vector<std::string> paths = list_minbar_files(h5.string());
  EXPECT_THAT(paths, ::testing::Contains((h5 / "future" / "IF2001.h5").string()));
}

TEST_F(InstrumentListing, UpdatesTakeIdsOfRegularH5FilesExceptSamples) {
  const fs::path dir = fill(tmp_.path() / "ticks");
  // Only the suffix decides here: a hidden name ending in ".h5" is an id, a build in progress
  // (".{id}.h5.tmp-...") is not.
  EXPECT_THAT(instrument_ids_in(dir), UnorderedElementsAre("A", ".C", "I"));
  EXPECT_THROW(instrument_ids_in(tmp_.path() / "missing"), fs::filesystem_error);
}

TEST_F(InstrumentListing, UpdatesScanEveryClassDirectoryButTicks) {
  const fs::path h5 = tmp_.path() / "h5";
  touch(h5 / "equities" / "000001.XSHE.h5");
  touch(h5 / "equities" / "000002.XSHE-sample.h5");
  touch(h5 / "future" / "IF2001.h5");
  touch(h5 / "other" / "000001.XSHE.h5");  // found twice; instrument selection merges them
  touch(h5 / "ticks" / "T.h5");
  touch(h5 / "P.h5");  // plain files directly in h5 are not instruments
  EXPECT_THAT(minbar_instrument_ids(h5),
              UnorderedElementsAre("000001.XSHE", "000001.XSHE", "IF2001"));
}

}  // namespace
}  // namespace tessera_plus::bundle
