// Files that no writer of ours made: damaged record types, extents beyond their storage, FIFOs and
// calendars of the wrong shape. The checkers must judge or refuse each one without crashing,
// hanging or offering sound files for deletion.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <fmt/format.h>

#include "tessera_plus/base/errors.h"
#include "tessera_plus/bundle/base_data/npy_reader.h"
#include "tessera_plus/bundle/check/minbar_checker.h"
#include "tessera_plus/bundle/check/tick_checker.h"
#include "tessera_plus/h5/dataset.h"
#include "tessera_plus/h5/file.h"
#include "tests/support/check_fixtures.h"
#include "tests/support/env.h"
#include "tests/support/scripted_service.h"

namespace tessera_plus {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

const std::vector<std::int64_t> kCalendar = {20200102, 20200103, 20200106};
constexpr char kAllSound[] = "检测完成：分钟数据质量良好！";

class HostileFiles : public ::testing::Test {
 protected:
  void SetUp() override { bundle_.write_calendar(kCalendar); }
  std::string equities(const std::string& name) const {
    return bundle_.minbar_dir("equities") + "/" + name;
  }
  std::string check_minbar(int jobs = 1) {
    std::istringstream in("n\n");
    std::ostringstream out;
    bundle::check_min_bar_data(
        {.data_bundle_path = bundle_.root(), .jobs = jobs, .out = &out, .in = &in});
    return out.str();
  }
  // Runs an h5py script with the file path as its argument.
  void python(const std::string& script, const std::string& path) {
    ASSERT_EQ(testing::run_python(script, path), 0);
  }
  // The damage that reading `data` of the file at `path` is refused with.
  static std::string damage_of_data(const std::string& path) {
    h5::File file = h5::File::open(path, h5::Mode::kReadOnly);
    try {
      h5::Dataset::open(file, "data").readable_length();
    } catch (const OSError& e) {
      return e.what();
    }
    return "accepted";
  }
  testing::TestBundle bundle_;
  testing::ScopedScriptedService svc_;
};

// The equity record type as h5py writes it, chunked and compressed like ours.
constexpr char kMinbarFile[] = R"(
import sys, numpy as np, h5py
eq = np.dtype([('datetime','<i8'),('open','<u4'),('close','<u4'),('high','<u4'),('low','<u4'),
               ('volume','<f8'),('total_turnover','<f8')])
ix = np.dtype([('date','<u4'),('line_no','<u4')])
with h5py.File(sys.argv[1], 'w') as f:
    d = np.zeros(2, dtype=eq); d['datetime'] = [20200102093100, 20200103093100]
    data = f.create_dataset('data', data=d, maxshape=(None,), chunks=(64,), compression='gzip')
    i = np.zeros(2, dtype=ix); i['date'] = [20200102, 20200103]; i['line_no'] = [0, 1]
    f.create_dataset('index', data=i, maxshape=(None,), chunks=(64,), compression='gzip')
)";

TEST_F(HostileFiles, ExtentBeyondStorageIsDamageNamedWithoutAllocating) {
  const std::string path = equities("000001.XSHE.h5");
  python(std::string(kMinbarFile) + "    data.resize((200000000,))\n", path);
  h5::File file = h5::File::open(path, h5::Mode::kReadOnly);
  h5::Dataset data = h5::Dataset::open(file, "data");
  EXPECT_EQ(data.length(), 200000000u);  // what the file claims
  try {
    data.readable_length();
    ADD_FAILURE() << "accepted";
  } catch (const OSError& e) {
    EXPECT_THAT(e.what(), HasSubstr(path));
    EXPECT_THAT(e.what(), HasSubstr("cannot fit"));
  }
  EXPECT_THAT(check_minbar(), HasSubstr("共有1个标的分钟数据存在异常"));
}

// A fuzzer's find: a chunk shape of millions of rows let the one chunk of slack that a partly
// filled last chunk needs admit an extent that no stored byte backs, and the reader allocated it.
TEST_F(HostileFiles, HugeChunkShapesAdmitNoUnbackedRows) {
  const std::string path = equities("000001.XSHE.h5");
  python(R"(
import sys, numpy as np, h5py
with h5py.File(sys.argv[1], 'w') as f:
    d = f.create_dataset('data', shape=(0,), dtype=[('datetime','<i8')], maxshape=(None,),
                         chunks=(16000000,), compression='gzip')
    d.resize((16000000,))
)",
         path);
  EXPECT_THAT(damage_of_data(path), HasSubstr("cannot fit"));
}

// A fuzzer's find: unfiltered 16-row chunks of `data` whose chunk index records fewer bytes than a
// chunk holds. HDF5 would copy a whole chunk out of the shorter buffer it read.
TEST_F(HostileFiles, UnfilteredChunksShorterThanAChunkAreDamage) {
  const std::string path = equities("000001.XSHE.h5");
  std::filesystem::copy_file(std::string(TESSERA_PLUS_SOURCE_DIR) +
                                 "/tests/fuzz_corpus/minbar_file_fuzz/unfiltered_short_chunk.h5",
                             path);
  EXPECT_THAT(damage_of_data(path), HasSubstr("an unfiltered chunk of"));
  EXPECT_THAT(check_minbar(), HasSubstr("共有1个标的分钟数据存在异常"));
}

// Bytes zeroed inside a chunk of `data` (a bad sector): the deflate stream no longer inflates to
// the chunk, which the check must call damage rather than sound.
TEST_F(HostileFiles, AMinuteBarChunkThatDoesNotInflateIsDamage) {
  const std::string path = equities("000001.XSHE.h5");
  testing::write_minbar_file(path, {{20200102, 20200102093100}, {20200103, 20200103093100}},
                             bundle::EQUITIES_DTYPE, 40);
  EXPECT_THAT(check_minbar(), HasSubstr(kAllSound));
  std::uint64_t middle = 0;
  {
    h5::File file = h5::File::open(path, h5::Mode::kReadOnly);
    const h5::Dataset data = h5::Dataset::open(file, "data");
    middle = data.chunk_file_offset(64) + data.chunk_storage_size(64) / 2;
  }
  std::fstream(path, std::ios::in | std::ios::out | std::ios::binary)
      .seekp(static_cast<std::streamoff>(middle - 8))
      .write("\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0", 16);
  EXPECT_THAT(damage_of_data(path), Not(HasSubstr("is damaged")));  // the extent is plausible
  EXPECT_THAT(check_minbar(), HasSubstr("共有1个标的分钟数据存在异常"));
}

TEST_F(HostileFiles, RecordTypesOfOtherKindsAreDamageAndMissingFieldsAnError) {
  // A text `datetime` converts to nothing sensible; a 2-D index is not a list of days.
  std::string text_datetime = kMinbarFile;
  text_datetime.replace(text_datetime.find("('datetime','<i8')"), 18, "('datetime','S8')");
  python(text_datetime, equities("000001.XSHE.h5"));
  python(R"(
import sys, numpy as np, h5py
with h5py.File(sys.argv[1], 'w') as f:
    f.create_dataset('data', data=np.zeros((2,), dtype=[('datetime','<i8')]))
    f.create_dataset('index', data=np.zeros((2,2), dtype=[('date','<u4'),('line_no','<u4')]))
)",
         equities("000002.XSHE.h5"));
  EXPECT_THAT(check_minbar(), HasSubstr("共有2个标的分钟数据存在异常"));

  python(R"(
import sys, numpy as np, h5py
with h5py.File(sys.argv[1], 'w') as f:
    f.create_dataset('data', data=np.zeros((2,), dtype=[('stamp','<i8')]))
    f.create_dataset('index', data=np.zeros((1,), dtype=[('date','<u4'),('line_no','<u4')]))
)",
         equities("000003.XSHE.h5"));
  EXPECT_THROW(check_minbar(), KeyError);  // a missing field ends the check
}

TEST_F(HostileFiles, FlippedBytesNeverEndTheCheckAndResultsKeepTheirOrder) {
  python(kMinbarFile, equities("000001.XSHE.h5"));
  const std::string sound = testing::read_file(equities("000001.XSHE.h5"));
  // Bytes of the metadata flipped in turn, in files checked four at a time: each is sound or
  // broken (or a crash in the library, reported as broken), and the check always completes. The
  // field names are left alone: a file without `datetime` is an error that ends the check.
  auto in_a_name = [&sound](std::size_t at) {
    for (const char* name : {"datetime", "line_no", "date", "index", "data"}) {
      for (std::size_t p = sound.find(name); p != std::string::npos; p = sound.find(name, p + 1)) {
        if (at >= p && at < p + std::strlen(name)) return true;
      }
    }
    return false;
  };
  int files = 0;
  for (std::size_t at = 0; at < std::min<std::size_t>(sound.size(), 2048); at += 7) {
    if (in_a_name(at)) continue;
    ++files;
    std::string damaged = sound;
    damaged[at] = static_cast<char>(damaged[at] ^ 0xFF);
    testing::write_file(equities(fmt::format("{:06d}.XSHE.h5", files + 1)), damaged);
  }
  std::string out;
  ASSERT_NO_THROW(out = check_minbar(4));
  EXPECT_THAT(out, HasSubstr(fmt::format("共有{}个分钟数据文件!", files + 1)));
  // The sound original never appears among the broken.
  EXPECT_THAT(out, Not(HasSubstr("'000001.XSHE'")));
}

TEST_F(HostileFiles, FifosAreSkippedOrRefusedWithoutBlocking) {
  const std::string fifo = equities("000009.XSHE.h5");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  python(kMinbarFile, equities("000001.XSHE.h5"));
  // Named with the files that are reported and never deleted, and never opened (which would block).
  const std::string found = check_minbar();
  EXPECT_THAT(found, HasSubstr("1个文件被其他进程占用或没有权限"));
  EXPECT_THAT(found, HasSubstr("['000009.XSHE']"));
  EXPECT_TRUE(std::filesystem::exists(fifo));

  const std::string calendar = bundle_.base() + "/trading_dates.npy";
  ASSERT_EQ(::unlink(calendar.c_str()), 0);
  ASSERT_EQ(::mkfifo(calendar.c_str(), 0600), 0);
  EXPECT_THROW(bundle::read_trading_calendar(calendar), OSError);
  EXPECT_THROW(h5::File::open(fifo, h5::Mode::kReadOnly), OSError);
}

TEST_F(HostileFiles, DamagedCalendarsStopTheCheckBeforeAnyFileIsJudged) {
  testing::write_minbar_file(bundle_.minbar_dir("future") + "/IF2001.h5",
                             {{20200103, 20200102210100}});
  const std::string path = bundle_.base() + "/trading_dates.npy";
  const std::vector<std::string> images = {
      testing::npy_image({20200106, 20200103, 20200102}),  // reversed
      testing::npy_image({-20200102, -20200103}),          // negated
      testing::npy_image({20, 21}, "|i1"),                 // 1-byte integers
      testing::npy_image({20200102, 20200102}),            // repeated
      testing::npy_image({20200132}),                      // not a date
      std::string("\x93NUMPY\x01\x00\x36\x00{'descr': '<i8', 'fortran_order': False, "
                  "'shape': (), }      \n",
                  64) +
          std::string("\xe6\x3c\x34\x01\0\0\0\0", 8),  // a scalar
  };
  for (const std::string& image : images) {
    testing::write_file(path, image);
    std::ostringstream out;
    std::istringstream in("y\n");
    EXPECT_THROW(
        bundle::check_min_bar_data({.data_bundle_path = bundle_.root(), .out = &out, .in = &in}),
        ValueError);
    EXPECT_THAT(out.str(), Not(HasSubstr("是否删除")));
  }
}

TEST_F(HostileFiles, TickMembersThatAreNotPastDatesAreJudgedByNameAndLogged) {
  testing::TempDir logs;
  const std::string log_path = logs / "tessera_plus.log";
  testing::ScopedEnv log_file("TESSERA_LOG_FILE", log_path);
  h5::File suspended = h5::File::open(bundle_.base() + "/suspended_days.h5", h5::Mode::kCreate);
  suspended.close();
  testing::write_tick_file(bundle_.tick_dir() + "/000001.XSHE.h5",
                           {"20200102", "20200103", "20200106", "zzzzzzzz"});
  std::istringstream in("n\n");
  std::ostringstream out;
  bundle::check_tick_data({.data_bundle_path = bundle_.root(), .jobs = 2, .out = &out, .in = &in});
  EXPECT_THAT(testing::read_file(log_path), HasSubstr("zzzzzzzz"));
}

}  // namespace
}  // namespace tessera_plus
