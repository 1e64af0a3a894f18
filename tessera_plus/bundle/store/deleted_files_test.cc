// The record of deleted files: which paths it takes, how it merges and forgets, what it makes of a
// damaged record, and that it is never left half written.
#include "tessera_plus/bundle/store/deleted_files.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>

#include "tessera_plus/base/errors.h"
#include "tests/support/temp_dir.h"

namespace tessera_plus::bundle {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;

std::vector<std::string> relatives(const fs::path& bundle) {
  std::vector<std::string> out;
  for (const BundleFile& file : read_deleted_files(bundle)) out.push_back(file.relative);
  return out;
}

TEST(LocateInstrumentFile, KnowsMinuteBarAndTickFilesOfABundleByTheirPathAlone) {
  auto minbar = locate_instrument_file("/r/bundle/h5/equities/000001.XSHE.h5");
  ASSERT_TRUE(minbar);
  EXPECT_EQ(minbar->bundle, "/r/bundle");
  EXPECT_EQ(minbar->relative, "h5/equities/000001.XSHE.h5");
  EXPECT_FALSE(minbar->tick);
  EXPECT_EQ(minbar->order_book_id, "000001.XSHE");

  auto tick = locate_instrument_file("bundle/ticks/IF2001.h5");  // a relative root works too
  ASSERT_TRUE(tick);
  EXPECT_EQ(tick->bundle, "bundle");
  EXPECT_EQ(tick->relative, "ticks/IF2001.h5");
  EXPECT_TRUE(tick->tick);
  EXPECT_EQ(tick->order_book_id, "IF2001");

  // h5/ticks is a class directory to the minute-bar check, never the tick directory.
  auto odd_class = locate_instrument_file("/r/bundle/h5/ticks/A.h5");
  ASSERT_TRUE(odd_class);
  EXPECT_FALSE(odd_class->tick);
  EXPECT_EQ(odd_class->bundle, "/r/bundle");

  for (const char* path :
       {"/r/bundle/h5/equities/000002.XSHE-sample.h5", "/r/bundle/h5/equities/.A.h5",
        "/r/bundle/h5/.build/A.h5", "/r/bundle/h5/A.h5", "/r/bundle/ticks/sub/A.h5",
        "/r/other/ticks/A.h5", "/r/bundle/h5/equities/A.H5", "/r/bundle/h5/../ticks/A.h5",
        "/tmp/a.h5", "a.h5"}) {
    EXPECT_FALSE(locate_instrument_file(path)) << path;
  }
}

class DeletedFiles : public ::testing::Test {
 protected:
  fs::path bundle() const { return dir_.path() / "root" / "bundle"; }
  std::string file(const std::string& relative) const { return (bundle() / relative).string(); }
  void SetUp() override { fs::create_directories(bundle()); }

  testing::TempDir dir_;
};

TEST_F(DeletedFiles, RecordsTheInstrumentFilesMergedSortedAndInOneFile) {
  record_deleted_files({file("ticks/B.h5"), file("h5/equities/C.h5"), dir_ / "loose.h5",
                        file("h5/equities/D-sample.h5"), file("h5/equities/line\nbreak.h5")});
  record_deleted_files({file("h5/future/A.h5"), file("ticks/B.h5")});
  EXPECT_THAT(relatives(bundle()), ElementsAre("h5/equities/C.h5", "h5/future/A.h5", "ticks/B.h5"));
  EXPECT_EQ(testing::read_file(deleted_files_record(bundle())),
            "# files deleted by a check; the next update rebuilds them\n"
            "h5/equities/C.h5\nh5/future/A.h5\nticks/B.h5\n");
  // The record is replaced whole: no temporary is left beside it.
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(bundle())) {
    names.push_back(entry.path().filename());
  }
  EXPECT_THAT(names, ElementsAre(".deleted_files"));

  const std::vector<BundleFile> files = read_deleted_files(bundle());
  EXPECT_EQ(files[1].order_book_id, "A");
  EXPECT_FALSE(files[1].tick);
  EXPECT_TRUE(files[2].tick);
}

TEST_F(DeletedFiles, NothingToRecordWritesNoRecord) {
  record_deleted_files({dir_ / "a.h5", file("h5/equities/X-sample.h5")});
  EXPECT_FALSE(fs::exists(deleted_files_record(bundle())));
  EXPECT_TRUE(read_deleted_files(bundle()).empty());
}

TEST_F(DeletedFiles, ForgetsOnlyTheNamedEntriesAndRemovesAnEmptyRecord) {
  record_deleted_files({file("h5/equities/A.h5"), file("ticks/A.h5")});
  forget_deleted_files(bundle(), {"h5/equities/A.h5", "h5/equities/never-recorded.h5"});
  EXPECT_THAT(relatives(bundle()), ElementsAre("ticks/A.h5"));
  forget_deleted_files(bundle(), {"ticks/A.h5"});
  EXPECT_FALSE(fs::exists(deleted_files_record(bundle())));
  forget_deleted_files(bundle(), {"ticks/A.h5"});  // no record: nothing to do, no error
}

TEST_F(DeletedFiles, LinesThatNameNoInstrumentFileAreSkippedAndDropped) {
  std::ofstream(deleted_files_record(bundle()))
      << "# comment\n\nh5/equities/A.h5\n../../etc/passwd.h5\nh5/equities/../../x.h5\n"
         "ticks/B.h5\r\nticks/C.txt\nh5/equities/D.h5";  // the last line without its line end
  EXPECT_THAT(relatives(bundle()), ElementsAre("h5/equities/A.h5", "h5/equities/D.h5"));
  record_deleted_files({file("ticks/E.h5")});
  EXPECT_EQ(testing::read_file(deleted_files_record(bundle())),
            "# files deleted by a check; the next update rebuilds them\n"
            "h5/equities/A.h5\nh5/equities/D.h5\nticks/E.h5\n");
}

TEST_F(DeletedFiles, ARecordThatCannotBeReadIsAnError) {
  fs::create_directories(deleted_files_record(bundle()));  // a directory where the record goes
  EXPECT_THROW(read_deleted_files(bundle()), OSError);
  EXPECT_THROW(record_deleted_files({file("ticks/A.h5")}), OSError);
}

}  // namespace
}  // namespace tessera_plus::bundle
