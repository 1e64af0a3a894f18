// The host framework's small pieces and the shared store operations.
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <ctime>
#include <fstream>
#include <optional>
#include <regex>
#include <set>

#include "tessera_plus/base/datetime_func.h"
#include "tessera_plus/base/errors.h"
#include "tessera_plus/base/logger.h"
#include "tessera_plus/base/shared_flag.h"
#include "tessera_plus/base/warnings.h"
#include "tessera_plus/bundle/store/constants.h"
#include "tessera_plus/bundle/store/tick_layout.h"
#include "tessera_plus/h5/blosc.h"
#include "tests/support/env.h"
#include "tests/support/temp_dir.h"

namespace tessera_plus {
namespace {

using testing::TempDir;

int end_date_at(const char* now) {
  testing::ScopedEnv fixed_now("TESSERA_NOW", now);
  return bundle::_get_end_date();
}

TEST(GetEndDate, SwitchesToTodayJustAfterHalfPastFive) {
  EXPECT_EQ(end_date_at("2024-06-28 17:30:00"), 20240627);
  EXPECT_EQ(end_date_at("2024-06-28 17:30:00.000000"), 20240627);
  EXPECT_EQ(end_date_at("2024-06-28 17:30:00.000001"), 20240628);
  EXPECT_EQ(end_date_at("2024-03-01 00:05:00"), 20240229);
  EXPECT_EQ(end_date_at("2023-03-01 00:05:00"), 20230228);
  EXPECT_EQ(end_date_at("2025-01-01 09:00:00"), 20241231);
}

// TZ for the scope, the C library made to read it again on the way in and on the way out.
class ScopedZone {
 public:
  explicit ScopedZone(const char* zone) : tz_(std::in_place, "TZ", zone) { ::tzset(); }
  ~ScopedZone() {
    tz_.reset();
    ::tzset();
  }

 private:
  std::optional<testing::ScopedEnv> tz_;
};

TEST(Clock, FixedNowIsExchangeTimeAndOnlyTheLogFollowsTheHostsZone) {
  using namespace std::chrono;
  testing::ScopedEnv fixed_now("TESSERA_NOW", "2024-06-28 17:45:00.250000");
  const Date day = 2024y / 6 / 28;
  const struct {
    const char* zone;
    DateTime host;
  } hosts[] = {{"Asia/Shanghai", make_datetime(day, 17, 45, 0, 250000)},
               {"UTC", make_datetime(day, 9, 45, 0, 250000)},
               {"America/New_York", make_datetime(day, 5, 45, 0, 250000)},
               {"Australia/Sydney", make_datetime(day, 19, 45, 0, 250000)}};
  for (const auto& host : hosts) {
    ScopedZone zone(host.zone);
    EXPECT_EQ(tessera_plus::now(), make_datetime(day, 17, 45, 0, 250000)) << host.zone;
    EXPECT_EQ(local_now(), host.host) << host.zone;
  }
  // The offset carries the date across midnight and the year's end.
  EXPECT_EQ(exchange_time(sys_days{2024y / 12 / 31} + 16h), make_datetime(2025y / 1 / 1));
  EXPECT_EQ(exchange_time(sys_days{2024y / 6 / 28} + 9h + 30min + 1us),
            make_datetime(day, 17, 30, 0, 1));
}

TEST(Clock, MalformedFixedNowIsAValueError) {
  testing::ScopedEnv fixed_now("TESSERA_NOW", "28/06/2024");
  EXPECT_THROW(tessera_plus::now(), ValueError);
  fixed_now.set("2024-02-30 10:00:00");
  EXPECT_THROW(tessera_plus::now(), ValueError);
}

TEST(NumberForms, DatesTimesAndTimestamps) {
  using namespace std::chrono;
  DateTime t = make_datetime(year(2005) / 1 / 4, 9, 30, 3, 500000);  // 09:30:03.500
  EXPECT_EQ(date_to_number(t), 20050104);
  EXPECT_EQ(time_to_number(t), 93003500);
  EXPECT_EQ(convert_dt_to_int(t), 20050104093003);
  EXPECT_EQ(convert_dt_to_int(make_datetime(year(2005) / 1 / 4, 9, 31)) / 1000000, 20050104);
  EXPECT_EQ(format_dashed(date_from_number(20240105)), "2024-01-05");
  EXPECT_THROW(date_from_number(20241301), ValueError);
  EXPECT_THROW(date_from_text("2024010"), ValueError);
  EXPECT_EQ(dashed_date_number("2024-06-28"), 20240628);
  EXPECT_EQ(dashed_date_number("0000-00-00"), 0);  // still listed
  EXPECT_THROW(dashed_date_number(""), ValueError);
  EXPECT_THROW(dashed_date_number("T-15"), ValueError);
}

TEST(RemoveH5, MissingFileIsFineDirectoryIsAnOsError) {
  TempDir dir;
  EXPECT_NO_THROW(bundle::remove_h5(dir / "absent.h5"));
  std::ofstream(dir / "present.h5") << "x";
  bundle::remove_h5(dir / "present.h5");
  EXPECT_FALSE(std::filesystem::exists(dir / "present.h5"));
  std::filesystem::create_directory(dir / "folder.h5");
  EXPECT_THROW(bundle::remove_h5(dir / "folder.h5"), OSError);
  EXPECT_TRUE(std::filesystem::exists(dir / "folder.h5"));
}

TEST(BloscOpts, UnknownCompressorOrLevelIsAValueError) {
  EXPECT_THROW(h5::blosc_opts(9, "lz4"), ValueError);
  EXPECT_THROW(h5::blosc_opts(10, "blosc:lz4"), ValueError);
  auto zstd = h5::blosc_opts(5, "blosc:zstd");
  EXPECT_EQ(zstd.filters.at(0).cd_values, (std::vector<unsigned>{0, 0, 0, 0, 5, 1, 5}));
}

TEST(Warnings, SuppressionScopeRestoresTheHandlerOnEveryExit) {
  std::vector<std::string> seen;
  auto previous = set_warning_handler([&](std::string_view w) { seen.emplace_back(w); });
  try {
    SuppressWarnings quiet;
    warn("hidden");
    throw ValueError("boom");
  } catch (const ValueError&) {
  }
  warn("shown");
  set_warning_handler(std::move(previous));
  EXPECT_EQ(seen, std::vector<std::string>{"shown"});
}

TEST(SystemLog, LinesFromManyProcessesNeverInterleave) {
  TempDir dir;
  std::string log = dir / "logs/system.log";
  testing::ScopedEnv log_file("TESSERA_LOG_FILE", log);
  testing::ScopedEnv fixed_now("TESSERA_NOW", "2024-06-28 18:00:00");
  ScopedZone host("UTC");  // the lines carry the host's time: 18:00 in Beijing
  constexpr int kProcesses = 4, kLines = 200;
  std::vector<pid_t> children;
  for (int p = 0; p < kProcesses; ++p) {
    pid_t pid = ::fork();
    if (pid == 0) {
      // Silence the stderr copy so the test output stays readable.
      (void)!::freopen("/dev/null", "w", stderr);
      for (int i = 0; i < kLines; ++i) {
        system_log::error("更新 " + std::to_string(p) + " " + std::string(2000, 'a' + p));
      }
      ::_exit(0);
    }
    children.push_back(pid);
  }
  for (pid_t pid : children) ::waitpid(pid, nullptr, 0);
  std::ifstream in(log);
  std::string line;
  int count = 0;
  std::regex shape(R"(2024-06-28 10:00:00\.000 ERROR 更新 ([0-3]) ([a-d])\2{1999})");
  while (std::getline(in, line)) {
    ++count;
    EXPECT_TRUE(std::regex_match(line, shape)) << line.substr(0, 80);
  }
  EXPECT_EQ(count, kProcesses * kLines);
}

TEST(SharedFlag, FalseWrittenByAForkedWorkerIsSeenByTheParent) {
  SharedFlag flag = SharedFlag::create(true);
  pid_t pid = ::fork();
  if (pid == 0) {
    publish_sval(flag);
    sval().set_value(false);
    ::_exit(0);
  }
  ::waitpid(pid, nullptr, 0);
  EXPECT_FALSE(flag.value());
}

TEST(TicksLoader, ColumnsFactorsAndRecordTypeAgree) {
  ASSERT_EQ(bundle::H5TicksLoader::COLUMNS.size(), bundle::H5TicksLoader::FIELDS.size());
  ASSERT_EQ(bundle::H5TicksLoader::COLUMNS.size(), bundle::H5TicksLoader::DTYPES.fields.size());
  std::set<std::string_view> names;
  for (std::size_t i = 0; i < bundle::H5TicksLoader::COLUMNS.size(); ++i) {
    EXPECT_EQ(bundle::H5TicksLoader::FIELDS[i].name, bundle::H5TicksLoader::COLUMNS[i]);
    EXPECT_EQ(bundle::H5TicksLoader::DTYPES.fields[i].name, bundle::H5TicksLoader::COLUMNS[i]);
    names.insert(bundle::H5TicksLoader::COLUMNS[i]);
  }
  EXPECT_EQ(names.size(), bundle::H5TicksLoader::COLUMNS.size());
  for (auto required : {"date", "time", "open_interest", "last", "a5", "b5_v"}) {
    EXPECT_TRUE(names.count(required)) << required;
  }
}

TEST(TicksLoader, PricesAreScaledToTheGridAndAmountsStoredAsSent) {
  auto factor = [](std::string_view name) {
    for (const bundle::TickField& f : bundle::H5TicksLoader::FIELDS) {
      if (f.name == name) return f.factor;
    }
    ADD_FAILURE() << name << " is not a tick column";
    return 0.0;
  };
  for (auto price : {"open", "last", "prev_close", "limit_down", "a1", "b5"}) {
    EXPECT_EQ(factor(price), 10000.0) << price;
  }
  for (auto amount :
       {"date", "time", "volume", "total_turnover", "open_interest", "a1_v", "b5_v"}) {
    EXPECT_EQ(factor(amount), 1.0) << amount;
  }
}

}  // namespace
}  // namespace tessera_plus
