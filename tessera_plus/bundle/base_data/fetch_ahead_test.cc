// The base data fetched ahead: calls overlap in fetcher processes, and the files come out as the
// one-call-at-a-time refresh writes them; an instrument whose call fails or whose fetcher dies
// costs that instrument only.
#include "tessera_plus/bundle/base_data/fetch_ahead.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tessera_plus/base/interrupted.h"
#include "tessera_plus/base/stop_request.h"
#include "tessera_plus/bundle/base_data/base_updater.h"
#include "tessera_plus/bundle/client/client_setup.h"
#include "tessera_plus/h5/dataset.h"
#include "tessera_plus/h5/file.h"
#include "tessera_plus/market/client.h"
#include "tessera_plus/market/retrying_backend.h"
#include "tests/support/env.h"
#include "tests/support/scripted_service.h"
#include "tests/support/temp_dir.h"

namespace tessera_plus {
namespace {

using ::testing::HasSubstr;
using testing::ScopedEnv;
using testing::TempDir;

// Every dataset of every HDF5 file with its type, shape, filters and each stored chunk's place in
// the file and bytes; every other file's bytes. Equal outputs: the files differ at most in the
// modification times HDF5 stamps on its objects.
constexpr const char* kStoredBytes = R"(
import hashlib, os, sys, h5py
root = sys.argv[1]
for name in sorted(os.listdir(root)):
    path = os.path.join(root, name)
    if not name.endswith('.h5'):
        print(name, hashlib.sha256(open(path, 'rb').read()).hexdigest())
        continue
    with h5py.File(path, 'r') as f:
        for key in sorted(f.keys()):
            ds = f[key]
            print(name, key, ds.dtype.str if ds.dtype.names is None else ds.dtype.descr, ds.shape,
                  ds.chunks, ds.compression, ds.compression_opts)
            if ds.chunks is None:
                print(' ', hashlib.sha256(ds[()].tobytes()).hexdigest())
                continue
            for i in range(ds.id.get_num_chunks()):
                info = ds.id.get_chunk_info(i)
                mask, data = ds.id.read_direct_chunk(info.chunk_offset)
                print(' ', info.chunk_offset, info.byte_offset, mask, hashlib.sha256(data).hexdigest())
)";

std::string stored_bytes(const std::filesystem::path& bundle) {
  std::string out;
  EXPECT_EQ(testing::run_python(kStoredBytes, bundle.string(), &out), 0) << out;
  return out;
}

// A first build at one day and a refresh three days later, on the simulated market behind the
// client's retries, with the environment's settings plus `settings`. The stored bytes after each.
std::vector<std::string> build_then_refresh(
    const std::filesystem::path& bundle,
    const std::vector<std::pair<const char*, const char*>>& settings) {
  std::vector<ScopedEnv> env;
  for (const auto& [name, value] : settings) env.emplace_back(name, value);
  std::filesystem::create_directories(bundle);
  std::vector<std::string> stored;
  for (const char* now : {"2024-05-31 18:00:00", "2024-06-03 18:00:00"}) {
    ScopedEnv today("TESSERA_NOW", now);
    tallow::install_backend(nullptr);
    bundle::install_client_source(tallow::RetryPolicy::from_environment());
    EXPECT_TRUE(bundle::update_daybar(bundle.string(), stored.empty(), true, 2, {}));
    stored.push_back(stored_bytes(bundle));
  }
  tallow::install_backend(nullptr);
  return stored;
}

// Sixteen requests in flight over a slow service that fails now and then and goes away for a few
// calls at a time: the files are those of one request at a time on a service without trouble,
// chunk for chunk and at the same places, after a first build and after a refresh in place.
TEST(FetchAhead, FilesEqualThoseOfOneRequestAtATime) {
  TempDir dir;
  ScopedEnv log("TESSERA_LOG_FILE", dir / "log.txt");
  const std::vector<std::pair<const char*, const char*>> common = {{"TALLOW_SOURCE", "sim"},
                                                                   {"TALLOW_SIM_STOCKS", "40"},
                                                                   {"TALLOW_RETRY_BASE_MS", "0"},
                                                                   {"TALLOW_RETRY_ATTEMPTS", "50"},
                                                                   {"TESSERA_PROGRESS", "0"}};
  auto with = [&](std::vector<std::pair<const char*, const char*>> more) {
    more.insert(more.end(), common.begin(), common.end());
    return more;
  };
  const std::vector<std::string> one = build_then_refresh(
      dir / "one", with({{"TALLOW_REQUESTS", "1"}, {"TALLOW_SIM_FAULT_RATE", "0"}}));
  const std::vector<std::string> many =
      build_then_refresh(dir / "many", with({{"TALLOW_REQUESTS", "16"},
                                             {"TALLOW_SIM_LATENCY_MS", "2"},
                                             {"TALLOW_SIM_FAULT_RATE", "0.05"},
                                             {"TALLOW_SIM_OUTAGES", "40,3"}}));
  ASSERT_EQ(one.size(), 2u);
  ASSERT_EQ(many.size(), 2u);
  EXPECT_THAT(one[0], HasSubstr("stocks.h5 000001.XSHE"));
  EXPECT_NE(one[0], one[1]);  // the refresh did add days
  EXPECT_EQ(many[0], one[0]);
  EXPECT_EQ(many[1], one[1]);
}

// The scripted service, with as many requests in flight as a real client allows: its handlers run
// in the fetcher processes.
class ManyInFlight : public testing::ScriptedService {
 public:
  int requests_in_flight() const override { return 16; }
};

tallow::PriceTable daily_bars(const tallow::PriceArgs& args) {
  tallow::PriceTable t;
  for (const char* c : {"open", "high", "low", "close", "volume", "total_turnover"}) {
    t.add_column(c);
  }
  auto last = std::chrono::sys_days(tallow::to_date(*args.end_date));
  for (auto day = std::chrono::sys_days(tallow::to_date(*args.start_date)); day <= last;
       day += std::chrono::days(1)) {
    t.order_book_ids.push_back("x");
    t.timestamps.push_back(make_datetime(Date(day)));
    for (const char* c : {"open", "high", "low", "close", "volume", "total_turnover"}) {
      t.column(c).push_back(date_to_number(Date(day)) % 100);
    }
  }
  return t;
}

// A service some way off: every call waits for its answer, which is what makes the updater send
// the calls after the first to fetcher processes. Turned off, calls answer at once.
bool service_far_away = true;
void far_away() {
  if (service_far_away) std::this_thread::sleep_for(std::chrono::milliseconds(2));
}

class FetchAheadFailures : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directories(bundle_);
    service_->on_all_instruments = [](const tallow::AllInstrumentsArgs&) {
      std::vector<tallow::Instrument> all;
      for (const char* id : {"000001.XSHE", "000002.XSHE", "000003.XSHE", "000004.XSHE",
                             "000005.XSHE", "000006.XSHE"}) {
        all.push_back({.order_book_id = id, .type = "CS", .listed_date = "2005-01-04"});
      }
      return all;
    };
    service_->on_get_price = [](const std::string&, const tallow::PriceArgs& args) {
      far_away();
      return std::optional<tallow::PriceTable>(daily_bars(args));
    };
    service_->on_is_suspended = [](const std::string& id, const tallow::DateArg& start,
                                   const tallow::DateArg& end) {
      far_away();
      tallow::SuspensionTable t;
      std::vector<bool> flags;
      for (auto d = std::chrono::sys_days(tallow::to_date(start));
           d <= std::chrono::sys_days(tallow::to_date(end)); d += std::chrono::days(1)) {
        t.dates.push_back(Date(d));
        flags.push_back(date_to_number(Date(d)) == 20050110);
      }
      t.columns.emplace_back(id, flags);
      return t;
    };
    tallow::install_backend(service_);
  }
  void TearDown() override {
    tallow::install_backend(nullptr);
    service_far_away = true;
  }

  bool has(const char* file, const char* id) {
    return h5::File::open(bundle_ / file, h5::Mode::kReadOnly).has(id);
  }
  std::string log() { return testing::read_file(dir_ / "log.txt"); }

  TempDir dir_;
  std::filesystem::path bundle_ = dir_.path() / "bundle";
  ScopedEnv log_{"TESSERA_LOG_FILE", dir_ / "log.txt"};
  ScopedEnv now_{"TESSERA_NOW", "2005-01-31 18:00:00"};
  std::shared_ptr<ManyInFlight> service_ = std::make_shared<ManyInFlight>();
};

// A fetcher's own end: what a crash in the client would do to it.
[[noreturn]] void die() {
  ::raise(SIGKILL);
  std::abort();
}

// The service's refusals and a dead fetcher each cost their instrument only, with the reasons the
// log gives them; the other instruments are written.
TEST_F(FetchAheadFailures, AFailedInstrumentCostsOnlyItself) {
  auto bars = service_->on_get_price;
  service_->on_get_price = [bars](const std::string& id, const tallow::PriceArgs& args) {
    if (id == "000002.XSHE") throw tallow::PermissionDenied("not in your plan");
    if (id == "000003.XSHE") throw tallow::ServiceUnavailable("gave up after 5 calls");
    if (id == "000004.XSHE") die();
    return bars(id, args);
  };
  auto suspended = service_->on_is_suspended;
  service_->on_is_suspended = [suspended](const std::string& id, const tallow::DateArg& start,
                                          const tallow::DateArg& end) {
    if (id == "000005.XSHE") throw tallow::ServiceUnavailable("gave up after 5 calls");
    if (id == "000006.XSHE") die();
    return suspended(id, start, end);
  };
  EXPECT_FALSE(bundle::update_daybar(bundle_.string(), true, true, 2, {}));
  for (const char* id : {"000001.XSHE", "000005.XSHE", "000006.XSHE"}) {
    EXPECT_TRUE(has("stocks.h5", id)) << id;
  }
  for (const char* id : {"000002.XSHE", "000003.XSHE", "000004.XSHE"}) {
    EXPECT_FALSE(has("stocks.h5", id)) << id;
  }
  for (const char* id : {"000001.XSHE", "000002.XSHE", "000003.XSHE", "000004.XSHE"}) {
    EXPECT_TRUE(has("suspended_days.h5", id)) << id;
  }
  EXPECT_FALSE(has("suspended_days.h5", "000005.XSHE"));
  EXPECT_FALSE(has("suspended_days.h5", "000006.XSHE"));
  const std::string text = log();
  EXPECT_THAT(text, HasSubstr("stocks.h5 000002.XSHE 失败，没有数据使用权限：not in your plan"));
  EXPECT_THAT(text,
              HasSubstr("stocks.h5 000003.XSHE 失败，数据服务暂时不可用：gave up after 5 calls"));
  EXPECT_THAT(text, HasSubstr("stocks.h5 000004.XSHE 失败，取数进程异常结束：killed by signal 9"));
  EXPECT_THAT(text, HasSubstr("suspended_days.h5 000005.XSHE 失败，数据服务暂时不可用：gave up"));
  EXPECT_THAT(
      text, HasSubstr("suspended_days.h5 000006.XSHE 失败，取数进程异常结束：killed by signal 9"));
}

// Any other error of one call fails its whole file with the error's message, as a call made in the
// writing process would: a first build publishes nothing, a refresh keeps the file as it was.
TEST_F(FetchAheadFailures, AnUnexpectedErrorFailsTheWholeFile) {
  ASSERT_TRUE(bundle::update_daybar(bundle_.string(), true, true, 2, {}));
  const auto rows = [this] {
    h5::File f = h5::File::open(bundle_ / "stocks.h5", h5::Mode::kReadOnly);
    return h5::Dataset::open(f, "000001.XSHE").length();
  };
  const auto before = rows();
  auto bars = service_->on_get_price;
  service_->on_get_price = [bars](const std::string& id, const tallow::PriceArgs& args) {
    if (id == "000003.XSHE") throw ValueError("a table without a date column");
    return bars(id, args);
  };
  ScopedEnv later("TESSERA_NOW", "2005-02-04 18:00:00");
  EXPECT_FALSE(bundle::update_daybar(bundle_.string(), false, true, 2, {}));
  EXPECT_EQ(rows(), before);
  EXPECT_THAT(log(), HasSubstr("stocks.h5 失败：a table without a date column"));
  std::filesystem::remove_all(bundle_);
  std::filesystem::create_directories(bundle_);
  EXPECT_FALSE(bundle::update_daybar(bundle_.string(), true, true, 2, {}));
  EXPECT_FALSE(std::filesystem::exists(bundle_ / "stocks.h5"));
  EXPECT_TRUE(std::filesystem::exists(bundle_ / "suspended_days.h5"));
}

// Which processes asked for the daily bars of stocks.h5: a service that answers at once is asked
// from the process that writes the file; one that makes the first call wait, from fetchers for the
// rest, several of them.
TEST_F(FetchAheadFailures, CallsGoToFetchersOnlyOnceOneHasWaited) {
  int asked[2];
  ASSERT_EQ(::pipe(asked), 0);
  ASSERT_EQ(::fcntl(asked[0], F_SETFL, O_NONBLOCK), 0);
  auto bars = service_->on_get_price;
  service_->on_get_price = [bars, &asked](const std::string& id, const tallow::PriceArgs& args) {
    const std::string line = id + " " + std::to_string(::getpid()) + "\n";
    if (::write(asked[1], line.data(), line.size()) < 0) std::abort();
    return bars(id, args);
  };
  const auto askers = [&] {
    std::map<std::string, std::string> pid_of;
    char buffer[4096];
    std::string text;
    for (ssize_t n; (n = ::read(asked[0], buffer, sizeof buffer)) > 0;) text.append(buffer, n);
    for (std::size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1) {
      const std::string line = text.substr(at, end - at);
      pid_of[line.substr(0, line.find(' '))] = line.substr(line.find(' ') + 1);
    }
    return pid_of;
  };

  service_far_away = false;
  ASSERT_TRUE(bundle::update_daybar(bundle_.string(), true, true, 2, {}));
  std::map<std::string, std::string> pid_of = askers();
  ASSERT_EQ(pid_of.size(), 6u);
  for (const auto& [id, pid] : pid_of) EXPECT_EQ(pid, pid_of["000001.XSHE"]) << id;

  service_far_away = true;
  std::filesystem::remove_all(bundle_);
  std::filesystem::create_directories(bundle_);
  ASSERT_TRUE(bundle::update_daybar(bundle_.string(), true, true, 2, {}));
  pid_of = askers();
  ASSERT_EQ(pid_of.size(), 6u);
  std::set<std::string> fetchers;
  for (const auto& [id, pid] : pid_of) {
    if (id != "000001.XSHE") fetchers.insert(pid);
  }
  EXPECT_EQ(fetchers.count(pid_of["000001.XSHE"]), 0u);
  EXPECT_GT(fetchers.size(), 1u);
  ::close(asked[0]);
  ::close(asked[1]);
}

// A stop asks for nothing more: the answers in flight are taken, in order, and the call ends with
// Interrupted long before the rest would have been fetched.
TEST_F(FetchAheadFailures, AStopTakesWhatIsInFlightAndAsksForNothingMore) {
  std::vector<std::size_t> taken;
  EXPECT_THROW(bundle::fetch_ahead(
                   1000,
                   [](std::size_t i) {
                     far_away();
                     return std::to_string(i);
                   },
                   [&](std::size_t i, bundle::FetchedAnswer&& answer) {
                     EXPECT_EQ(answer.take(), std::to_string(i));
                     taken.push_back(i);
                     if (i == 20) request_stop(SIGINT);
                   }),
               Interrupted);
  clear_stop();
  ASSERT_GT(taken.size(), 20u);
  EXPECT_LT(taken.size(), 200u);  // what was in flight, at most a window of it
  for (std::size_t i = 0; i < taken.size(); ++i) EXPECT_EQ(taken[i], i);
}

}  // namespace
}  // namespace tessera_plus
