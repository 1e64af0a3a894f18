#include "tessera_plus/bundle/check/tick_checker.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>

#include <fmt/format.h>

#include "tessera_plus/bundle/check/verified_cache.h"
#include "tessera_plus/bundle/store/tick_layout.h"
#include "tessera_plus/bundle/store/tick_writer.h"
#include "tessera_plus/h5/dataset.h"
#include "tessera_plus/h5/file.h"
#include "tessera_plus/market/types.h"
#include "tests/support/check_fixtures.h"
#include "tests/support/env.h"
#include "tests/support/scripted_service.h"

namespace tessera_plus {
namespace {

using bundle::check_tick_data;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;
using testing::ScopedScriptedService;
using testing::TestBundle;
using testing::write_tick_file;

constexpr char kNoCalendar[] = "当前目录下不存在 trading_dates.npy 文件，请先下载 base 数据!\n";
constexpr char kNoSuspensions[] = "当前目录下不存在 suspended_days.h5 文件，请先下载 base 数据!\n";
constexpr char kAllSound[] = "检测完成：tick数据质量良好！";
// 2020-01-02 Thu, 03 Fri, 06 Mon, 07 Tue, 08 Wed.
const std::vector<std::int64_t> kCalendar = {20200102, 20200103, 20200106, 20200107, 20200108};

std::string summary(int broken, int locked) {
  return fmt::format("检测完成：共有{}个标的tick数据存在异常，{}个文件被其他进程占用或没有权限。",
                     broken, locked);
}

// suspended_days.h5 as the base-data updater writes it: one plain integer dataset per id.
void write_suspensions(const std::string& path,
                       const std::map<std::string, std::vector<std::int64_t>>& days,
                       const std::string& dtype = "<i8") {
  std::string script = "import sys, h5py, numpy\nwith h5py.File(sys.argv[1], 'w') as f:\n  pass\n";
  for (const auto& [id, dates] : days) {
    script += fmt::format("  f['{}'] = numpy.array([{}], dtype='{}')\n", id, fmt::join(dates, ", "),
                          dtype);
  }
  ASSERT_EQ(testing::run_python(script, path), 0) << script;
}

class TickCheck : public ::testing::Test {
 protected:
  void SetUp() override {
    bundle_.write_calendar(kCalendar);
    write_suspensions(bundle_.base() + "/suspended_days.h5", {{"000001.XSHE", {20200103}}});
  }

  std::string tick_file(const std::string& name) const { return bundle_.tick_dir() + "/" + name; }

  std::string check() {
    std::istringstream in("n\n");
    std::ostringstream out;
    check_tick_data({.data_bundle_path = bundle_.root(), .out = &out, .in = &in});
    return out.str();
  }

  std::vector<std::string> asked_days() {
    std::vector<std::string> days;
    for (const auto& call : svc_->calls_of("get_price")) {
      days.push_back(std::get<std::string>(*call.price.start_date));
    }
    return days;
  }

  void answer_with_data() {
    svc_->on_get_price = [](const std::string&, const tallow::PriceArgs&) {
      return std::optional<tallow::PriceTable>(testing::one_row_table());
    };
  }

  TestBundle bundle_;
  ScopedScriptedService svc_;
};

// One day of ticks every 3 seconds on a random walk, as compressible as the service's.
std::vector<std::byte> day_of_ticks(std::int32_t date, std::size_t count) {
  std::vector<bundle::TickRecord> ticks(count);
  std::uint64_t state = static_cast<std::uint64_t>(date);
  std::int64_t price = 1000000;
  for (std::size_t i = 0; i < count; ++i) {
    state = state * 6364136223846793005ULL + 1442695040888963407ULL;
    price += static_cast<std::int64_t>(state >> 60) - 8;
    bundle::TickRecord& t = ticks[i];
    std::memset(&t, 0, sizeof t);
    t.date = date;
    t.time = 93000000 + static_cast<std::int32_t>(i) * 3000;
    t.last = t.high = t.low = price;
    t.a1 = price + 100;
    t.b1 = price - 100;
    t.volume = static_cast<std::int64_t>(i * 100 + (state >> 58));
    t.total_turnover = static_cast<double>(t.volume * price) / 10000.0;
  }
  std::vector<std::byte> bytes(count * sizeof(bundle::TickRecord));
  std::memcpy(bytes.data(), ticks.data(), bytes.size());
  return bytes;
}

// Days of real ticks, written as the updates write them; the middle day spans two chunks.
const std::map<std::string, std::size_t> kTickDays = {
    {"20200102", 4800}, {"20200103", 9000}, {"20200106", 4800}};
constexpr std::size_t kWriterChunkRows = 8192;

void write_real_tick_file(const std::string& path) {
  h5::File file = h5::File::open(path, h5::Mode::kCreate);
  std::vector<std::byte> scratch;
  for (const auto& [day, count] : kTickDays) {
    bundle::replace_tick_day(file, day, day_of_ticks(std::stoi(day), count), scratch);
  }
  file.close();
}

// Zeroes 4 KiB in the middle of the last chunk of `day`, as a bad sector or a torn write would.
void damage_last_chunk(const std::string& path, const std::string& day) {
  const h5::Size first_row = (kTickDays.at(day) - 1) / kWriterChunkRows * kWriterChunkRows;
  h5::File file = h5::File::open(path, h5::Mode::kReadOnly);
  const h5::Dataset ds = h5::Dataset::open(file, day);
  const std::uint64_t middle =
      ds.chunk_file_offset(first_row) + ds.chunk_storage_size(first_row) / 2;
  ASSERT_GT(ds.chunk_storage_size(first_row), 8192u);
  file.close();
  std::fstream out(path, std::ios::in | std::ios::out | std::ios::binary);
  out.seekp(static_cast<std::streamoff>(middle - 2048));
  const std::string zeros(4096, '\0');
  out.write(zeros.data(), static_cast<std::streamsize>(zeros.size()));
}

TEST(TickCheckBaseFiles, CalendarIsTestedFirstThenSuspensions) {
  ScopedScriptedService svc;
  TestBundle bundle;
  write_tick_file(bundle.tick_dir() + "/000001.XSHE.h5", {"20200102"});
  std::istringstream in;
  std::ostringstream out;
  check_tick_data({.data_bundle_path = bundle.root(), .out = &out, .in = &in});
  EXPECT_EQ(out.str(), kNoCalendar);
  bundle.write_calendar(kCalendar);
  out.str("");
  check_tick_data({.data_bundle_path = bundle.root(), .out = &out, .in = &in});
  EXPECT_EQ(out.str(), kNoSuspensions);
  EXPECT_TRUE(svc->calls_of("init").empty());
}

// Each day damaged in its own copy of a sound file: the check names that day, keeps the sound copy,
// and h5py agrees, reading every day but the damaged one.
TEST_F(TickCheck, ADayThatDoesNotDecodeBreaksTheFileNamingTheDay) {
  const std::string sound = tick_file("000001.XSHE.h5");
  write_real_tick_file(sound);
  std::vector<std::string> damaged;
  for (const auto& [day, count] : kTickDays) {
    damaged.push_back(tick_file(day + ".XSHE.h5"));
    std::filesystem::copy_file(sound, damaged.back());
    damage_last_chunk(damaged.back(), day);
  }
  std::ostringstream out;
  const bundle::CheckFindings findings =
      check_tick_data({.data_bundle_path = bundle_.root(),
                       .findings = bundle::CheckRequest::Findings::kReturn,
                       .out = &out});
  std::vector<std::string> broken = findings.broken;
  std::sort(broken.begin(), broken.end());
  EXPECT_THAT(broken, ElementsAreArray(damaged));
  for (std::size_t i = 0; i < findings.broken.size(); ++i) {
    const std::string day =
        std::filesystem::path(findings.broken[i]).filename().string().substr(0, 8);
    EXPECT_THAT(findings.broken_reasons[i], HasSubstr("unreadable trading day " + day + ":"));
  }
  EXPECT_TRUE(svc_->calls_of("get_price").empty());
  EXPECT_EQ(testing::run_python(R"(
import sys, glob, os, h5py
for path in glob.glob(sys.argv[1] + '/*.h5'):
    damaged = os.path.basename(path)[:8]
    with h5py.File(path, 'r') as f:
        for day in f:
            try:
                f[day][()]
                read = True
            except OSError:
                read = False
            assert read == (day != damaged), (path, day)
)",
                                bundle_.tick_dir()),
            0);
}

// The cache of verified files lives outside the bundle, here beside it in the test's directory.
class TickCheckCache : public TickCheck {
 protected:
  std::string cache_dir() const { return bundle_.root() + "/xdg/tessera_plus/tick-verified"; }

  std::vector<std::string> broken(bool full = false) {
    std::ostringstream out;
    return check_tick_data({.data_bundle_path = bundle_.root(),
                            .findings = bundle::CheckRequest::Findings::kReturn,
                            .full = full,
                            .out = &out})
        .broken;
  }

  // Makes the cache vouch for `path` as it is now, damaged or not.
  void vouch_for(const std::string& path) {
    std::vector<std::string> names;
    for (const auto& entry : kTickDays) names.push_back(entry.first);
    auto cache = bundle::check_detail::VerifiedCache::open(bundle_.tick_dir());
    cache.keep(std::filesystem::path(path).filename().string(),
               {*bundle::check_detail::identity_of(path), bundle::check_detail::names_hash(names)});
    cache.save();
  }

  testing::ScopedEnv xdg_{"XDG_CACHE_HOME", bundle_.root() + "/xdg"};
  testing::ScopedEnv on_{"TESSERA_CHECK_CACHE", std::nullopt};
};

// A clean check caches the file, in one file outside the bundle; damage changes the file's times,
// so the next check decodes it again and finds the day.
TEST_F(TickCheckCache, DamageAfterACachedCleanCheckIsFound) {
  const std::string file = tick_file("000001.XSHE.h5");
  write_real_tick_file(file);
  EXPECT_THAT(broken(), ElementsAre());
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(cache_dir()), {}), 1);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(bundle_.tick_dir()), {}), 1);
  EXPECT_THAT(broken(), ElementsAre());
  damage_last_chunk(file, "20200103");
  EXPECT_THAT(broken(), ElementsAre(file));
}

// A cache that vouches for a damaged file is believed only while it is intact and on: --full, a
// damaged cache file and TESSERA_CHECK_CACHE=0 each find the day. --full also drops the entry.
TEST_F(TickCheckCache, OnlyAnIntactCacheSparesAFileFromDecoding) {
  const std::string file = tick_file("000001.XSHE.h5");
  write_real_tick_file(file);
  damage_last_chunk(file, "20200106");
  vouch_for(file);
  EXPECT_THAT(broken(), ElementsAre());
  EXPECT_THAT(broken(/*full=*/true), ElementsAre(file));
  EXPECT_THAT(broken(), ElementsAre(file));

  // Each damage leaves an entry that still matches the file: only the validation rejects it.
  const std::string cache_file = std::filesystem::directory_iterator(cache_dir())->path();
  const std::vector<std::function<void(std::string&)>> damages = {
      [](std::string& text) { text[text.find('\n') + 1] ^= 1; },            // the checksum
      [](std::string& text) { text.replace(text.find(" 1\n"), 2, " 2"); },  // the version
      [](std::string& text) { text.front() = 'T'; },                        // the magic
      [](std::string& text) { text.pop_back(); }};                          // the last newline
  for (std::size_t i = 0; i < damages.size(); ++i) {
    vouch_for(file);
    std::string text;
    {
      std::ifstream in(cache_file, std::ios::binary);
      text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    damages[i](text);
    std::ofstream(cache_file, std::ios::binary | std::ios::trunc) << text;
    EXPECT_THAT(broken(), ElementsAre(file)) << "damage " << i;
  }
  vouch_for(file);
  testing::ScopedEnv off("TESSERA_CHECK_CACHE", "0");
  EXPECT_THAT(broken(), ElementsAre(file));
}

TEST_F(TickCheck, OnlyFilesDirectlyInTicksAreChecked) {
  write_tick_file(bundle_.tick_dir() + "/../ticks_elsewhere.h5", {"20200102"});
  std::filesystem::create_directories(tick_file("sub"));
  write_tick_file(tick_file("sub/000001.XSHE.h5"), {"20200102", "20200106"});
  EXPECT_EQ(check(), "当前目录下不存在tick数据!\n");
  EXPECT_EQ(svc_->calls_of("init").size(), 1u);
}

TEST_F(TickCheck, CompleteAndEmptyFilesAreSoundWithoutQuestions) {
  write_tick_file(tick_file("000001.XSHE.h5"), {"20200102", "20200103", "20200106"});
  write_tick_file(tick_file("000002.XSHE.h5"), {});
  EXPECT_EQ(check(), std::string("共有2个tick数据文件!\n\n") + kAllSound + "\n");
  EXPECT_TRUE(svc_->calls_of("get_price").empty());
}

TEST_F(TickCheck, SuspendedGapNeedsNoQuestion) {
  write_tick_file(tick_file("000001.XSHE.h5"), {"20200102", "20200106"});
  EXPECT_THAT(check(), HasSubstr(kAllSound));
  EXPECT_TRUE(svc_->calls_of("get_price").empty());
}

TEST_F(TickCheck, UnsuspendedGapIsAskedAboutAsText) {
  write_tick_file(tick_file("600000.XSHG.h5"), {"20200102", "20200106"});
  EXPECT_THAT(check(), HasSubstr(kAllSound));  // the service has no ticks for it
  auto calls = svc_->calls_of("get_price");
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].order_book_id, "600000.XSHG");
  EXPECT_EQ(std::get<std::string>(*calls[0].price.start_date), "20200103");
  EXPECT_EQ(std::get<std::string>(*calls[0].price.end_date), "20200103");
  EXPECT_EQ(calls[0].price.frequency, "tick");

  answer_with_data();
  std::string out = check();
  EXPECT_THAT(out, HasSubstr(summary(1, 0)));
  EXPECT_THAT(out, HasSubstr("['600000.XSHG']"));
}

TEST_F(TickCheck, OnceAnyGapIsNotSuspendedSuspendedGapsAreAskedToo) {
  // 20200103 is suspended, 20200106 is not: both are asked, in calendar order.
  write_tick_file(tick_file("000001.XSHE.h5"), {"20200102", "20200107"});
  EXPECT_THAT(check(), HasSubstr(kAllSound));
  EXPECT_THAT(asked_days(), ElementsAre("20200103", "20200106"));
  svc_->calls.clear();
  answer_with_data();
  EXPECT_THAT(check(), HasSubstr(summary(1, 0)));
  EXPECT_THAT(asked_days(), ElementsAre("20200103"));
}

TEST_F(TickCheck, NamesCountByTheirFirstEightCharactersAndExtrasAreHarmless) {
  write_tick_file(tick_file("000001.XSHE.h5"),
                  {"20200102", "20200103_old", "20200104", "20200106"});
  EXPECT_THAT(check(), HasSubstr(kAllSound));
  EXPECT_TRUE(svc_->calls_of("get_price").empty());
}

// As many names as the calendar has days between the first and the last, but not the same days:
// an extra non-trading day (a Saturday, or a copy of a stored day) must not stand in for a
// missing trading day.
TEST_F(TickCheck, AnExtraNameDoesNotMakeUpForAMissingDay) {
  answer_with_data();
  write_tick_file(tick_file("600000.XSHG.h5"), {"20200102", "20200104", "20200106"});
  write_tick_file(tick_file("600001.XSHG.h5"), {"20200102", "20200102_old", "20200106"});
  EXPECT_THAT(check(), HasSubstr(summary(2, 0)));
  EXPECT_THAT(asked_days(), ElementsAre("20200103", "20200103"));
}

// Nothing promises that the base data keeps an instrument's suspended days in order.
TEST_F(TickCheck, SuspensionsInAnyOrderAreFound) {
  write_suspensions(bundle_.base() + "/suspended_days.h5",
                    {{"000001.XSHE", {20200107, 20200103, 20200106}}});
  write_tick_file(tick_file("000001.XSHE.h5"), {"20200102", "20200108"});
  EXPECT_THAT(check(), HasSubstr(kAllSound));
  EXPECT_TRUE(svc_->calls_of("get_price").empty());
}

TEST_F(TickCheck, LockedFileIsListedAndOthersAreStillChecked) {
  write_tick_file(tick_file("000001.XSHE.h5"), {"20200102"});
  write_tick_file(tick_file("600000.XSHG.h5"), {"20200102", "20200106"});
  testing::write_file(tick_file("000002.XSHE.h5"), "not HDF5");
  answer_with_data();
  testing::FileHolder holder(tick_file("000001.XSHE.h5"));
  std::string out = check();
  EXPECT_THAT(out, HasSubstr(summary(2, 1)));
  EXPECT_THAT(out, HasSubstr("被其他进程占用或没有权限的文件如下:\n['000001.XSHE']\n"));
}

TEST_F(TickCheck, UnreadableSuspensionFileEndsTheCheck) {
  testing::write_file(bundle_.base() + "/suspended_days.h5", "not HDF5");
  write_tick_file(tick_file("000001.XSHE.h5"), {"20200102"});
  std::istringstream in;
  std::ostringstream out;
  EXPECT_THROW(check_tick_data({.data_bundle_path = bundle_.root(), .out = &out, .in = &in}),
               OSError);
  EXPECT_EQ(out.str(), "共有1个tick数据文件!\n");
}

TEST_F(TickCheck, SuspensionsOfAnyIntegerWidthAndByteOrder) {
  for (const char* dtype : {"<i4", ">i8", "<u4"}) {
    write_suspensions(bundle_.base() + "/suspended_days.h5", {{"000001.XSHE", {20200103}}}, dtype);
    write_tick_file(tick_file("000001.XSHE.h5"), {"20200102", "20200106"});
    EXPECT_THAT(check(), HasSubstr(kAllSound)) << dtype;
    EXPECT_TRUE(svc_->calls_of("get_price").empty()) << dtype;
    std::filesystem::remove(tick_file("000001.XSHE.h5"));
  }
}

}  // namespace
}  // namespace tessera_plus
