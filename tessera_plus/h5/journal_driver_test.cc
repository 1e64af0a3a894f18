// The journaling file driver against a minute-bar-like append to a real file: results as h5py sees
// them, every write/fsync/truncate of the commit made to fail in turn, a real child process ended
// at every I/O call in turn, and records that do not belong to the file.
#include "tessera_plus/h5/journal_driver.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <optional>
#include <random>
#include <set>
#include <span>
#include <sstream>
#include <string>
#include <vector>

#include "tessera_plus/base/errors.h"
#include "tessera_plus/bundle/store/records.h"
#include "tessera_plus/h5/dataset.h"
#include "tessera_plus/h5/file.h"
#include "tessera_plus/h5/rollback_record.h"
#include "tessera_plus/h5/signature_guard.h"
#include "tessera_plus/h5/write_overlay.h"
#include "tests/support/temp_dir.h"

namespace tessera_plus {
namespace {

namespace fs = std::filesystem;
using h5::FaultPlan;
using testing::read_file;
using testing::run_python;
using testing::TempDir;

// The bundle's minute bars; the index rows are 64-bit here, as the h5py fixture makes them.
using Bar = bundle::EquityBar;
struct Day {
  std::int64_t date;
  std::int64_t line_no;
};

constexpr h5::RecordLayout kBarLayout = bundle::EQUITIES_DTYPE;
constexpr std::array kDayFields = {h5::Field{"date", h5::Kind::kInt64, 0},
                                   h5::Field{"line_no", h5::Kind::kInt64, 8}};
constexpr h5::RecordLayout kDayLayout{sizeof(Day), kDayFields};
static_assert(sizeof(Bar) == 56 && sizeof(Day) == 16);

constexpr int kBarsPerDay = 240;
constexpr int kFixtureDays = 30;  // 7,200 rows: seven full 1,024-row chunks and a partial one

// The existing file, made by h5py the way the bundle's files are laid out: chunked, deflate 9,
// free space tracked persistently. No object timestamps, so two runs of one append give the same
// bytes and "new" can be compared byte for byte.
constexpr const char* kMakeFixture = R"(
import sys, h5py, numpy as np
path, days = sys.argv[1], int(sys.argv[2])
bar = np.dtype([('datetime', '<i8'), ('open', '<f8'), ('high', '<f8'), ('low', '<f8'),
                ('close', '<f8'), ('volume', '<f8'), ('total_turnover', '<f8')])
day = np.dtype([('date', '<i8'), ('line_no', '<i8')])
rows = np.zeros(days * 240, bar)
index = np.zeros(days, day)
for d in range(days):
    date = 20200101 + d
    index[d] = (date, d * 240)
    for m in range(240):
        p = 10 + (d * 240 + m) % 97 * 0.01
        rows[d * 240 + m] = (date * 1000000 + 93000 + m, p, p + 0.02, p - 0.01, p + 0.01,
                             1000.0 + m, (1000.0 + m) * p)
with h5py.File(path, 'w', fs_strategy='fsm', fs_persist=True, fs_threshold=1) as f:
    for name, values in (('data', rows), ('index', index)):
        f.create_dataset(name, data=values, chunks=(1024,), maxshape=(None,),
                         compression='gzip', compression_opts=9)
)";

// For each file after the first two (old, new): "old", "new", "error" or "wrong", as h5py sees it
// (every dataset's values, by name).
constexpr const char* kClassify = R"(
import sys, h5py
def rows(path):
    got = {}
    def keep(name, obj):
        if isinstance(obj, h5py.Dataset):
            got[name] = obj[()].tobytes()
    with h5py.File(path, 'r') as f:
        f.visititems(keep)
    return got
old, new = rows(sys.argv[1]), rows(sys.argv[2])
for path in sys.argv[3:]:
    try:
        got = rows(path)
        print('old' if got == old else 'new' if got == new else 'wrong')
    except Exception:
        print('error')
)";

std::vector<Bar> next_day_bars() {
  std::vector<Bar> bars;
  for (int m = 0; m < kBarsPerDay; ++m) {
    double p = 20 + m * 0.01;
    bars.push_back({20200301093000 + m, p, p + 0.02, p - 0.01, p + 0.01, 500.0 + m, 1.0 * m});
  }
  return bars;
}

void append_rows(h5::File& file) {
  h5::Dataset data = h5::Dataset::open(file, "data");
  h5::Size n = data.length();
  auto bars = next_day_bars();
  data.resize(n + bars.size());
  data.write(kBarLayout, n, bars.size(), bars.data());
  h5::Dataset index = h5::Dataset::open(file, "index");
  h5::Size m = index.length();
  Day day{20200301, static_cast<std::int64_t>(n)};
  index.resize(m + 1);
  index.write(kDayLayout, m, 1, &day);
}

struct AppendResult {
  int error_number = 0;  // of the OSError that close() threw, 0 when none
  bool committed = false;
  h5::IoCounts counts;
  std::size_t record_bytes = 0;
};

AppendResult journaled_append(const std::string& path, std::optional<FaultPlan> faults) {
  AppendResult result;
  h5::File file = h5::File::open_journaled(path, h5::Mode::kAppend, faults);
  append_rows(file);
  try {
    file.close();
  } catch (const OSError& e) {
    result.error_number = e.error_number();
  }
  result.committed = file.journal()->committed();
  result.counts = file.journal()->io_counts();
  result.record_bytes = file.journal()->record_bytes();
  return result;
}

// Both datasets' rows as plain HDF5 reads them, or nothing when it cannot.
std::optional<std::string> rows_via_hdf5(const std::string& path) {
  try {
    h5::File file = h5::File::open(path, h5::Mode::kReadOnly);
    h5::Dataset data = h5::Dataset::open(file, "data");
    h5::Dataset index = h5::Dataset::open(file, "index");
    std::string bytes(data.length() * sizeof(Bar) + index.length() * sizeof(Day), '\0');
    data.read(kBarLayout, 0, data.length(), bytes.data());
    index.read(kDayLayout, 0, index.length(), bytes.data() + data.length() * sizeof(Bar));
    file.close();
    return bytes;
  } catch (const Error&) {
    return std::nullopt;
  }
}

bool exists(const std::string& path) { return fs::exists(path); }

// True when the file begins with a signature that keeps plain HDF5 readers out.
bool hidden(const std::string& path) { return h5::is_hidden(path); }

// Writes `signature` over the first bytes of the file at `path`.
void put_signature(const std::string& path, const h5::Signature& signature) {
  std::fstream(path, std::ios::binary | std::ios::in | std::ios::out)
      .write(reinterpret_cast<const char*>(signature.data()), h5::kSignatureBytes);
}

std::optional<h5::RollbackRecord> read_record(const std::string& path) {
  const std::string bytes = read_file(h5::rollback_path(path));
  return h5::decode(std::as_bytes(std::span(bytes)));
}

void write_record(const std::string& path, const h5::RollbackRecord& record) {
  std::vector<std::byte> bytes = h5::encode(record);
  std::ofstream(h5::rollback_path(path), std::ios::binary | std::ios::trunc)
      .write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
}

// `record`, made the record of the copy at `path` (another inode than the file it was made for).
void write_record_of(const std::string& path, const std::string& record) {
  auto decoded = h5::decode(std::as_bytes(std::span(record)));
  ASSERT_TRUE(decoded.has_value());
  struct stat st;
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  decoded->identity.inode = static_cast<std::uint64_t>(st.st_ino);
  write_record(path, *decoded);
}

// One recovery of `path`: it must be `recovery`, leave the file holding `content` (compared whole,
// not printed) and remove the record.
void expect_recovery(const std::string& path, h5::Recovery recovery, const std::string& content) {
  EXPECT_EQ(h5::recover_journal(path), recovery);
  EXPECT_TRUE(read_file(path) == content);
  EXPECT_FALSE(exists(h5::rollback_path(path)));
}

// `bytes` with the times of version-2 object headers, and the checksums over them, zeroed. HDF5
// stamps the header it makes at close for the free-space information with the current second, so
// two runs of one append differ there and nowhere else.
std::string without_times(std::string bytes) {
  for (std::size_t at = bytes.find("OHDR"); at != std::string::npos;
       at = bytes.find("OHDR", at + 4)) {
    if (at + 6 > bytes.size() || bytes[at + 4] != 2) continue;
    auto flags = static_cast<unsigned char>(bytes[at + 5]);
    if (!(flags & 0x20)) continue;
    std::size_t times = at + 6;
    std::size_t size_at = times + 16 + ((flags & 0x10) ? 4 : 0);
    std::size_t width = std::size_t{1} << (flags & 3);
    if (size_at + width > bytes.size()) continue;
    std::uint64_t chunk = 0;
    for (std::size_t i = 0; i < width; ++i) {
      chunk |= std::uint64_t{static_cast<unsigned char>(bytes[size_at + i])} << (8 * i);
    }
    std::size_t checksum = size_at + width + chunk;
    if (checksum + 4 > bytes.size()) continue;
    std::fill_n(bytes.begin() + times, 16, '\0');
    std::fill_n(bytes.begin() + checksum, 4, '\0');
  }
  return bytes;
}

// An old file and the new one a plain-driver change makes of it, built once per suite; each case
// works on fresh copies of the old file in a directory of its own.
class OldAndNewFile : public ::testing::Test {
 protected:
  // old.h5 from the script `make_old`, given the file's path followed by `make_old_args`; new.h5 as
  // `change` leaves a copy of it.
  static void make_files(const char* make_old, const std::string& make_old_args,
                         const std::function<void(h5::File&)>& change) {
    fixtures_ = new TempDir;
    ASSERT_EQ(run_python(make_old, old_path() + make_old_args), 0);
    fs::copy_file(old_path(), new_path());
    h5::File file = h5::File::open(new_path(), h5::Mode::kAppend);
    change(file);
    file.close();
  }
  static void TearDownTestSuite() {
    delete fixtures_;
    fixtures_ = nullptr;
  }

  static std::string old_path() { return *fixtures_ / "old.h5"; }
  static std::string new_path() { return *fixtures_ / "new.h5"; }

  static bool is_old(const std::string& path) { return read_file(path) == read_file(old_path()); }
  // The new file as the plain driver wrote it, up to the second in its timestamps.
  static bool is_new(const std::string& path) {
    return without_times(read_file(path)) == without_times(read_file(new_path()));
  }

  // h5py's verdict on each of `paths`.
  std::vector<std::string> classify(const std::vector<std::string>& paths) {
    std::string args = old_path() + " " + new_path();
    for (const auto& p : paths) args += " " + p;
    std::string out;
    EXPECT_EQ(run_python(kClassify, args, &out), 0);
    std::vector<std::string> verdicts;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) verdicts.push_back(line);
    return verdicts;
  }

  // A copy of `path` as it is now, beside it; for readers that must see what a kill left.
  std::string snapshot(const std::string& path, const std::string& name) {
    std::string copy = dir_ / name;
    fs::copy_file(path, copy);
    return copy;
  }

  // A fresh copy of the old file in this case's directory.
  std::string fresh(const std::string& name) {
    std::string path = dir_ / name;
    fs::copy_file(old_path(), path, fs::copy_options::overwrite_existing);
    return path;
  }

  static inline TempDir* fixtures_ = nullptr;
  TempDir dir_;
};

// One old file and the same append made with the plain driver, shared by every case.
class JournalDriverTest : public OldAndNewFile {
 protected:
  static void SetUpTestSuite() {
    make_files(kMakeFixture, " " + std::to_string(kFixtureDays), append_rows);
  }
};

// --- the journaled append itself -----------------------------------------------------------------

TEST_F(JournalDriverTest, AppendEqualsThePlainDriversFileByteForByte) {
  std::string path = fresh("a.h5");
  AppendResult result = journaled_append(path, std::nullopt);
  EXPECT_EQ(result.error_number, 0);
  EXPECT_TRUE(result.committed);
  EXPECT_TRUE(is_new(path));
  EXPECT_FALSE(exists(h5::rollback_path(path)));
  // Record, its directory and the hidden signature (made at once), the rest of the file. Neither
  // the shown signature nor the record's removal needs one: a lost removal rolls back, and a lost
  // signature leaves a whole file hidden until recovery shows it.
  EXPECT_EQ(result.counts.fsyncs, 4);
  // The journal saves what it overwrites, never the whole file.
  EXPECT_GT(result.record_bytes, 0u);
  EXPECT_LT(result.record_bytes, read_file(path).size() / 4);
  EXPECT_EQ(classify({path}), std::vector<std::string>{"new"});
}

// Several files committed together: each ends as it would alone (a failure ends its own file's
// commit only), with one barrier of each kind for all of them and one fsync of their directory.
TEST_F(JournalDriverTest, AGroupCommitsEachFileAsAloneWithItsBarriersShared) {
  for (bool faults : {false, true}) {
    SCOPED_TRACE(faults ? "the second file's apply fails" : "every file commits");
    h5::CommitGroup group;
    std::vector<std::string> paths;
    std::vector<h5::File> files;
    for (const char* name : {"a.h5", "b.h5", "c.h5"}) {
      paths.push_back(fresh(name));
      std::optional<FaultPlan> plan;
      // Its fsyncs: the record, the hidden file, the applied file (the directory is the first
      // file's).
      if (faults && paths.size() == 2) plan = FaultPlan{FaultPlan::Call::kFsync, 3, EIO};
      files.push_back(h5::File::open_journaled(paths.back(), h5::Mode::kAppend, plan, {}, &group));
      append_rows(files.back());
      files.back().close();
    }
    EXPECT_EQ(group.pending_files(), 3u);
    EXPECT_GT(group.pending_bytes(), 0u);
    for (const std::string& path : paths) EXPECT_TRUE(is_old(path));
    EXPECT_TRUE(group.holds(paths[1]));
    group.commit();
    EXPECT_EQ(group.pending_files(), 0u);
    EXPECT_FALSE(group.holds(paths[1]));
    const std::vector<h5::CommitGroup::Outcome> outcomes = group.take_outcomes();
    ASSERT_EQ(outcomes.size(), paths.size());
    EXPECT_TRUE(group.take_outcomes().empty());
    for (std::size_t i = 0; i < paths.size(); ++i) {
      EXPECT_EQ(outcomes[i].path, paths[i]);
      EXPECT_EQ(outcomes[i].error_number, faults && i == 1 ? EIO : 0);
    }
    for (std::size_t i = 0; i < paths.size(); ++i) {
      const bool fails = faults && i == 1;
      const h5::JournalSession& session = *files[i].journal();
      EXPECT_TRUE(session.finished());
      EXPECT_EQ(session.committed(), !fails);
      EXPECT_EQ(session.error_number(), fails ? EIO : 0);
      EXPECT_TRUE(fails ? is_old(paths[i]) : is_new(paths[i]));
      EXPECT_FALSE(exists(h5::rollback_path(paths[i])));
      if (!fails) {
        EXPECT_EQ(session.io_counts().fsyncs, i == 0 ? 4 : 3);
      }
    }
  }
}

// A file opened again while its commit waits in the group: the group commits first, so that the
// new session builds on the file's new content; when that file's commit failed, the open fails
// with its error instead of building on writes that never landed.
TEST_F(JournalDriverTest, ReopeningAFileOfAGroupCommitsTheGroupFirst) {
  for (bool faults : {false, true}) {
    SCOPED_TRACE(faults ? "the reopened file's apply fails" : "every file commits");
    h5::CommitGroup group;
    const std::string other = fresh("a.h5");
    const std::string path = fresh("b.h5");
    h5::File first = h5::File::open_journaled(other, h5::Mode::kAppend, std::nullopt, {}, &group);
    append_rows(first);
    first.close();
    std::optional<FaultPlan> plan;
    if (faults) plan = FaultPlan{FaultPlan::Call::kFsync, 3, EIO};
    h5::File file = h5::File::open_journaled(path, h5::Mode::kAppend, plan, {}, &group);
    append_rows(file);
    file.close();
    if (faults) {
      EXPECT_THROW(h5::File::open_journaled(path, h5::Mode::kAppend, std::nullopt, {}, &group),
                   OSError);
      EXPECT_TRUE(is_old(path));
    } else {
      h5::File again = h5::File::open_journaled(path, h5::Mode::kAppend, std::nullopt, {}, &group);
      EXPECT_TRUE(is_new(path));
      append_rows(again);
      again.close();
      EXPECT_TRUE(group.holds(path));
    }
    EXPECT_TRUE(is_new(other));
    EXPECT_EQ(group.take_outcomes().size(), 2u);
  }
}

// A group dropped before it commits leaves its files old and unlocked.
TEST_F(JournalDriverTest, AGroupDroppedUncommittedKeepsItsFilesOld) {
  std::string path = fresh("a.h5");
  {
    h5::CommitGroup group;
    h5::File file = h5::File::open_journaled(path, h5::Mode::kAppend, std::nullopt, {}, &group);
    append_rows(file);
    file.close();
  }
  EXPECT_TRUE(is_old(path));
  EXPECT_FALSE(exists(h5::rollback_path(path)));
  AppendResult again = journaled_append(path, std::nullopt);
  EXPECT_TRUE(again.committed);
  EXPECT_TRUE(is_new(path));
}

TEST_F(JournalDriverTest, NothingReachesTheFileBeforeCloseAndReadsSeeTheSession) {
  std::string path = fresh("a.h5");
  h5::File file = h5::File::open_journaled(path, h5::Mode::kAppend);
  append_rows(file);
  h5::Dataset data = h5::Dataset::open(file, "data");
  std::vector<Bar> last(1);
  data.read(kBarLayout, data.length() - 1, 1, last.data());
  EXPECT_EQ(last[0].datetime, next_day_bars().back().datetime);
  EXPECT_TRUE(is_old(path));
  file.close();
  EXPECT_TRUE(is_new(path));
}

// The record holds the file's old bytes: a link put in its place is refused, never followed to
// write elsewhere, and the file keeps its old content.
TEST_F(JournalDriverTest, ALinkWhereTheRecordGoesIsRefusedAndTheFileStaysOld) {
  const std::string path = fresh("linked.h5");
  const std::string victim = dir_ / "victim";
  std::ofstream(victim) << "untouched";
  h5::File file = h5::File::open_journaled(path, h5::Mode::kAppend);
  append_rows(file);
  fs::create_symlink(victim, h5::rollback_path(path));
  try {
    file.close();
    ADD_FAILURE() << "the commit wrote its record through a link";
  } catch (const OSError& e) {
    EXPECT_EQ(e.error_number(), ELOOP) << e.what();
  }
  EXPECT_EQ(read_file(victim), "untouched");
  EXPECT_TRUE(is_old(path));
}

TEST_F(JournalDriverTest, AFileDroppedWithoutCloseKeepsItsOldContent) {
  std::string path = fresh("a.h5");
  {
    h5::File file = h5::File::open_journaled(path, h5::Mode::kAppend);
    append_rows(file);
  }  // as when an exception unwinds past the writer
  EXPECT_TRUE(is_old(path));
  h5::File file = h5::File::open_journaled(path, h5::Mode::kAppend);
  append_rows(file);
  file.abandon();
  EXPECT_TRUE(file.journal()->finished());
  EXPECT_TRUE(is_old(path));
}

TEST_F(JournalDriverTest, ANewFileMadeThroughTheJournalIsAnOrdinaryHdf5File) {
  std::string path = dir_ / "created.h5";
  h5::File file = h5::File::open_journaled(path, h5::Mode::kCreate);
  auto bars = next_day_bars();
  h5::Dataset::create(file, "data", kBarLayout, bars.data(), bars.size(),
                      {.chunk = 1024, .growable = true, .deflate = 9});
  file.close();
  std::string out;
  ASSERT_EQ(run_python(R"(
import sys, h5py
with h5py.File(sys.argv[1], 'r') as f:
    d = f['data']
    print(len(d), d[-1]['datetime'], d.compression, d.chunks, f.id.get_create_plist().get_file_space_strategy())
)",
                       path, &out),
            0);
  EXPECT_EQ(out, "240 20200301093239 gzip (1024,) (0, 1, 1)\n");  // FSM_AGGR, persistent
}

TEST_F(JournalDriverTest, ASecondOpenOfTheSameFileInOneProcessIsRefused) {
  std::string path = fresh("a.h5");
  h5::File first = h5::File::open_journaled(path, h5::Mode::kAppend);
  try {
    h5::File::open_journaled(path, h5::Mode::kReadOnly);
    FAIL() << "opened twice";
  } catch (const OSError& e) {
    EXPECT_EQ(e.error_number(), EBUSY);
  }
  // Plain HDF5 in this process meets our lock instead of reading a file in the middle of a session.
  EXPECT_THROW(h5::File::open(path, h5::Mode::kAppend), BlockingIOError);
  // A reader as well: a writer's lock is exclusive.
  EXPECT_THROW(h5::File::open(path, h5::Mode::kReadOnly), BlockingIOError);
  first.close();
}

// --- every failure of the commit, in turn --------------------------------------------------------

struct FaultCase {
  FaultPlan::Call call;
  int error_number;
};

TEST_F(JournalDriverTest, EveryFailedCallOfTheCommitLeavesTheOldFileOrReportsTheNewOne) {
  const h5::IoCounts counts = journaled_append(fresh("count.h5"), std::nullopt).counts;
  ASSERT_GT(counts.writes, 2);
  std::vector<std::string> paths;
  std::vector<bool> expect_new;
  int failures = 0;
  for (FaultCase c :
       {FaultCase{FaultPlan::Call::kWrite, EIO}, FaultCase{FaultPlan::Call::kWrite, ENOSPC},
        FaultCase{FaultPlan::Call::kFsync, EIO}, FaultCase{FaultPlan::Call::kFsync, ENOSPC},
        FaultCase{FaultPlan::Call::kTruncate, EIO}}) {
    int calls = c.call == FaultPlan::Call::kWrite   ? counts.writes
                : c.call == FaultPlan::Call::kFsync ? counts.fsyncs
                                                    : counts.truncates;
    for (int k = 1; k <= calls; ++k) {
      SCOPED_TRACE("call kind " + std::to_string(static_cast<int>(c.call)) + ", errno " +
                   std::to_string(c.error_number) + ", k " + std::to_string(k));
      std::string path = fresh("f" + std::to_string(paths.size()) + ".h5");
      AppendResult result = journaled_append(path, FaultPlan{c.call, k, c.error_number});
      EXPECT_EQ(result.error_number, c.error_number);  // never lost, never replaced by another
      EXPECT_FALSE(exists(h5::rollback_path(path)));
      EXPECT_TRUE(result.committed ? is_new(path) : is_old(path));
      ASSERT_TRUE(rows_via_hdf5(path).has_value());
      paths.push_back(path);
      expect_new.push_back(result.committed);
      ++failures;
    }
  }
  // Nothing fails after the new content is durable: removing the record is the commit's last call.
  EXPECT_EQ(std::count(expect_new.begin(), expect_new.end(), true), 0);
  std::vector<std::string> verdicts = classify(paths);
  ASSERT_EQ(verdicts.size(), paths.size());
  for (std::size_t i = 0; i < paths.size(); ++i) {
    EXPECT_EQ(verdicts[i], expect_new[i] ? "new" : "old") << paths[i];
  }
  EXPECT_EQ(failures, 2 * counts.writes + 2 * counts.fsyncs + counts.truncates);
}

TEST_F(JournalDriverTest, ADiskThatStaysFullEndsInTheOldFileAfterTheNextOpen) {
  const int writes = journaled_append(fresh("count.h5"), std::nullopt).counts.writes;
  for (int k = 1; k <= writes; ++k) {
    SCOPED_TRACE("full from write " + std::to_string(k));
    std::string path = fresh("full.h5");
    AppendResult result = journaled_append(
        path, FaultPlan{FaultPlan::Call::kWrite, k, ENOSPC, /*crash=*/false, /*sticky=*/true});
    EXPECT_EQ(result.error_number, ENOSPC);
    EXPECT_FALSE(result.committed);
    // Putting the old bytes back fails as well when every write fails; then the record waits.
    h5::File::open_journaled(path, h5::Mode::kReadOnly).close();
    EXPECT_FALSE(exists(h5::rollback_path(path)));
    EXPECT_TRUE(is_old(path));
  }
}

// --- a process killed at every I/O call, in turn -------------------------------------------------

// Runs the append in a child that ends at the `k`th call of kind `call`; true when it got there.
bool crashed_at(const std::string& path, int k, FaultPlan::Call call = FaultPlan::Call::kAny) {
  pid_t pid = ::fork();
  if (pid == 0) {
    int status = 1;
    try {
      status = journaled_append(path, FaultPlan{call, k, 0, true}).error_number;
    } catch (...) {
    }
    ::_exit(status == 0 ? 0 : 1);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status));
  int code = WEXITSTATUS(status);
  EXPECT_TRUE(code == 0 || code == h5::kFaultCrashStatus) << "child exit " << code;
  return code == h5::kFaultCrashStatus;
}

TEST_F(JournalDriverTest, AKillAtAnyIoCallLeavesOldOrNewAndOurOpenFinishesTheJob) {
  const std::optional<std::string> old_rows = rows_via_hdf5(old_path());
  const std::optional<std::string> new_rows = rows_via_hdf5(new_path());
  std::vector<std::string> copies;
  std::vector<bool> record_pending;
  std::set<h5::Recovery> recoveries;
  bool last_pending = false, last_old = false, saw_hidden = false;
  int k = 1;
  for (; k < 100; ++k) {
    SCOPED_TRACE("killed at I/O call " + std::to_string(k));
    std::string path = fresh("k" + std::to_string(k) + ".h5");
    if (!crashed_at(path, k)) break;
    bool pending = exists(h5::rollback_path(path));
    // A copy without its record: what plain HDF5 sees before any recovery (our own read-only
    // opens roll a record back first). Old or new rows, or an error while a record is pending.
    copies.push_back(snapshot(path, "before-recovery-" + std::to_string(k) + ".h5"));
    record_pending.push_back(pending);
    // Every byte the kill left is on disk here; a file that is neither whole old nor whole new
    // must be hidden, or a power cut that kept some of these writes could show it to a reader.
    EXPECT_TRUE(is_old(path) || is_new(path) || hidden(path));
    saw_hidden = saw_hidden || hidden(path);
    std::optional<std::string> plain = rows_via_hdf5(copies.back());
    if (plain) {
      EXPECT_TRUE(*plain == *old_rows || *plain == *new_rows);
    } else {
      EXPECT_TRUE(pending) << "unreadable without a record to roll back";
    }

    h5::File reopened = h5::File::open_journaled(path, h5::Mode::kReadOnly);
    recoveries.insert(reopened.journal()->recovery());
    reopened.close();
    EXPECT_FALSE(exists(h5::rollback_path(path)));
    EXPECT_TRUE(is_old(path) || is_new(path));
    last_pending = pending;
    last_old = is_old(path);
  }
  ASSERT_LT(k, 100);
  // The last kill point is just before the record's removal: the new content is durable, shown, and
  // the record complete. A power cut that loses the (unsynced) removal leaves the same state; the
  // update stands and the record is dropped.
  EXPECT_TRUE(last_pending);
  EXPECT_FALSE(last_old);
  EXPECT_TRUE(recoveries.count(h5::Recovery::kDiscardedFinished));
  EXPECT_GT(k, 10);  // the append did reach its commit in every child before this one
  EXPECT_TRUE(saw_hidden);
  // The kill points covered both kinds of leftover record.
  EXPECT_TRUE(recoveries.count(h5::Recovery::kRolledBack));
  EXPECT_TRUE(recoveries.count(h5::Recovery::kDiscardedIncomplete));

  std::vector<std::string> verdicts = classify(copies);
  ASSERT_EQ(verdicts.size(), copies.size());
  for (std::size_t i = 0; i < copies.size(); ++i) {
    SCOPED_TRACE(copies[i]);
    EXPECT_NE(verdicts[i], "wrong");  // h5py never sees wrong rows without an error
    if (!record_pending[i]) {
      EXPECT_NE(verdicts[i], "error");
    }
  }
}

// Recovery killed at every I/O call of its rollback, from the state that needs the most undone: the
// new file whole but still hidden, its record still there (a power cut lost the new signature and
// the record's removal). Until the old file is whole again it is hidden, and the next open still
// rolls it back.
TEST_F(JournalDriverTest, AKillDuringRollbackLeavesAFileHiddenUntilTheNextRecoveryEndsIt) {
  const int calls = journaled_append(fresh("count.h5"), std::nullopt).counts.total();
  const std::string start = fresh("start.h5");
  ASSERT_TRUE(crashed_at(start, calls - 1));  // before the new signature, the last call but one
  ASSERT_TRUE(hidden(start));
  const std::string record = read_file(h5::rollback_path(start));
  std::vector<std::string> copies;
  int k = 1;
  for (; k < 100; ++k) {
    SCOPED_TRACE("recovery killed at I/O call " + std::to_string(k));
    const std::string path = dir_ / ("r" + std::to_string(k) + ".h5");
    fs::copy_file(start, path);
    write_record_of(path, record);
    pid_t pid = ::fork();
    if (pid == 0) {
      try {
        h5::File::open_journaled(path, h5::Mode::kReadOnly,
                                 FaultPlan{FaultPlan::Call::kAny, k, 0, true})
            .close();
      } catch (...) {
        ::_exit(1);
      }
      ::_exit(0);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 0) break;  // the rollback finished before call k
    ASSERT_EQ(WEXITSTATUS(status), h5::kFaultCrashStatus);
    EXPECT_TRUE(is_old(path) || hidden(path));
    copies.push_back(snapshot(path, "during-rollback-" + std::to_string(k) + ".h5"));
    if (exists(h5::rollback_path(path))) {
      // Cut after the old signature was back: the old file is whole and the record is dropped.
      expect_recovery(path,
                      hidden(path) ? h5::Recovery::kRolledBack : h5::Recovery::kDiscardedFinished,
                      read_file(old_path()));
    } else {
      EXPECT_TRUE(is_old(path));  // killed at the last call, the directory's fsync
    }
  }
  ASSERT_LT(k, 100);
  EXPECT_GT(k, 5);  // hiding, the old bytes, the size, the barriers, showing
  for (const std::string& verdict : classify(copies)) EXPECT_NE(verdict, "wrong");
}

// --- records that must not be applied ------------------------------------------------------------

// A user who finds a file unreadable after a crash restores a backup over it, beside the record
// the crash left: an older or a newer version of the file, or one built apart, copied over the
// file (same inode) or put in its place (perhaps the same inode number again). Recovery never
// writes into such a file: the record is dropped or set aside, and the file keeps its bytes.
TEST_F(JournalDriverTest, ARecordIsNeverAppliedToARestoredBackup) {
  const std::string newer = dir_ / "newer.h5";
  fs::copy_file(new_path(), newer);
  journaled_append(newer, std::nullopt);
  const std::string apart = dir_ / "apart.h5";
  ASSERT_EQ(run_python(kMakeFixture, apart + " 5"), 0);
  const int calls = journaled_append(fresh("count.h5"), std::nullopt).counts.total();
  int set_aside = 0, restored = 0;
  for (int k = 1; k <= calls; ++k) {
    for (const std::string& backup : {old_path(), newer, apart}) {
      for (bool same_inode : {true, false}) {
        SCOPED_TRACE(fmt::format("crash at call {}, {} restored {}", k, backup,
                                 same_inode ? "over the file" : "in its place"));
        const std::string path = fresh("restored.h5");
        fs::remove(h5::set_aside_path(path));
        ASSERT_TRUE(crashed_at(path, k));
        if (!exists(h5::rollback_path(path))) continue;
        if (!same_inode) fs::remove(path);
        std::ofstream(path, std::ios::binary | std::ios::trunc) << read_file(backup);
        ++restored;
        const h5::Recovery recovery = h5::recover_journal(path);
        EXPECT_TRUE(read_file(path) == read_file(backup));
        EXPECT_FALSE(exists(h5::rollback_path(path)));
        EXPECT_NE(recovery, h5::Recovery::kRolledBack);
        if (recovery == h5::Recovery::kSetAside) {
          ++set_aside;
          const std::string kept = read_file(h5::set_aside_path(path));
          EXPECT_TRUE(h5::decode(std::as_bytes(std::span(kept))).has_value());
        }
      }
    }
  }
  std::cout << restored << " backups restored beside a record, " << set_aside
            << " records set aside" << std::endl;
  EXPECT_GT(set_aside, 0);
}

// Bytes written over the whole file in place, as many as the interrupted commit left: no HDF5 file,
// not hidden, neither the record's old nor its new state. The record is kept aside, not applied.
TEST_F(JournalDriverTest, ARecordIsNotAppliedToAFileWrittenOverSince) {
  std::string path = fresh("a.h5");
  ASSERT_TRUE(crashed_at(path, 3, FaultPlan::Call::kWrite));
  ASSERT_TRUE(exists(h5::rollback_path(path)));
  const std::string other(fs::file_size(path), 'x');
  std::ofstream(path, std::ios::binary | std::ios::in | std::ios::out) << other;
  expect_recovery(path, h5::Recovery::kSetAside, other);
  EXPECT_TRUE(exists(h5::set_aside_path(path)));
}

// Records that belong to a half-applied file although an identity field differs, or that an
// older commit made without saving the signature: each is rolled back to the old file's bytes.
// Writes 1 and 2 are the record and the hiding signature; ending before write 4 leaves the file
// hidden and partly new.
TEST_F(JournalDriverTest, ARecordOfAHalfAppliedFileIsRolledBackWhateverChangedAroundIt) {
  {
    SCOPED_TRACE("a reboot brought the file system back under another device number");
    std::string path = fresh("device.h5");
    ASSERT_TRUE(crashed_at(path, 4, FaultPlan::Call::kWrite));
    ASSERT_FALSE(is_old(path));
    auto record = read_record(path);
    ASSERT_TRUE(record.has_value());
    struct stat st;
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    ASSERT_EQ(record->identity.device, static_cast<std::uint64_t>(st.st_dev));
    record->identity.device ^= 0x0100;  // another major number
    write_record(path, *record);
    expect_recovery(path, h5::Recovery::kRolledBack, read_file(old_path()));
  }
  {
    SCOPED_TRACE("copied with its record while hidden (another inode)");
    std::string path = fresh("original.h5");
    ASSERT_TRUE(crashed_at(path, 4, FaultPlan::Call::kWrite));
    ASSERT_TRUE(hidden(path));
    std::string copy = dir_ / "copy.h5";
    fs::copy_file(path, copy);
    fs::copy_file(h5::rollback_path(path), h5::rollback_path(copy));
    expect_recovery(copy, h5::Recovery::kRolledBack, read_file(old_path()));
  }
  {
    SCOPED_TRACE("an older commit that left the signature alone and saved none of it");
    std::string path = fresh("unhidden.h5");
    ASSERT_TRUE(crashed_at(path, 4, FaultPlan::Call::kWrite));
    auto record = read_record(path);
    ASSERT_TRUE(record.has_value());
    record->version = 1;
    ASSERT_EQ(record->ranges.front().offset, 0u);
    ASSERT_GT(record->ranges.front().bytes.size(), h5::kSignatureBytes);
    h5::SavedRange& first = record->ranges.front();
    first.offset = h5::kSignatureBytes;
    first.bytes.erase(first.bytes.begin(), first.bytes.begin() + h5::kSignatureBytes);
    write_record(path, *record);
    std::fstream(path, std::ios::binary | std::ios::in | std::ios::out)
        .write(read_file(old_path()).data(), h5::kSignatureBytes);
    ASSERT_FALSE(hidden(path));
    expect_recovery(path, h5::Recovery::kRolledBack, read_file(old_path()));
  }
  {
    SCOPED_TRACE("an older commit's record, beside the file it hid without an id");
    std::string path = fresh("legacy.h5");
    ASSERT_TRUE(crashed_at(path, 4, FaultPlan::Call::kWrite));
    auto record = read_record(path);
    ASSERT_TRUE(record.has_value());
    record->version = 1;
    write_record(path, *record);
    put_signature(path, h5::kUnfinishedSignature);
    expect_recovery(path, h5::Recovery::kRolledBack, read_file(old_path()));
  }
  {
    SCOPED_TRACE("hidden by another commit than the record's");
    std::string path = fresh("other-id.h5");
    ASSERT_TRUE(crashed_at(path, 4, FaultPlan::Call::kWrite));
    auto record = read_record(path);
    ASSERT_TRUE(record.has_value());
    put_signature(path, h5::hidden_signature(record->commit_id ^ 1));
    const std::string before = read_file(path);
    EXPECT_NE(h5::recover_journal(path), h5::Recovery::kRolledBack);
    EXPECT_FALSE(exists(h5::rollback_path(path)));
    // Shown again, its other bytes as they were.
    EXPECT_FALSE(hidden(path));
    EXPECT_TRUE(read_file(path).compare(h5::kSignatureBytes, std::string::npos, before,
                                        h5::kSignatureBytes) == 0);
  }
}

// A hidden file without a complete record of its own is whole: a power cut kept the hiding
// signature but not the record made durable with it (the file is old), or kept the record's
// removal but not the new signature (the file is new). Any open shows it again, a plain read too.
TEST_F(JournalDriverTest, AHiddenFileWithoutACompleteRecordIsShownAgain) {
  const h5::Signature old_signature = [] {
    h5::Signature s{};
    std::string bytes = read_file(old_path());
    std::memcpy(s.data(), bytes.data(), s.size());
    return s;
  }();
  ASSERT_EQ(old_signature, h5::kHdf5Signature);  // no user block: HDF5 looks at offset 0 first
  auto hide = [](const std::string& path) {
    put_signature(path, h5::kUnfinishedSignature);
    ASSERT_TRUE(hidden(path));
  };
  for (const std::string& source : {old_path(), new_path()}) {
    SCOPED_TRACE(source);
    std::string path = dir_ / "hidden.h5";
    fs::copy_file(source, path, fs::copy_options::overwrite_existing);
    const std::string whole = read_file(path);
    hide(path);
    std::string copy = snapshot(path, "plain-reader.h5");
    EXPECT_EQ(classify({copy}), std::vector<std::string>{"error"});
    fs::remove(copy);
    expect_recovery(path, h5::Recovery::kShown, whole);
  }
  {
    SCOPED_TRACE("read through plain HDF5 in this process");
    std::string path = fresh("plain.h5");
    hide(path);
    EXPECT_EQ(rows_via_hdf5(path), rows_via_hdf5(old_path()));
    EXPECT_TRUE(is_old(path));
  }
}

TEST_F(JournalDriverTest, AnIncompleteRecordIsDiscardedBecauseTheFileWasNotTouched) {
  for (bool flip : {false, true}) {
    SCOPED_TRACE(flip ? "one byte changed" : "last byte missing");
    std::string path = fresh("a.h5");
    // Ending at the record's fsync: the record is written and the file untouched but for its
    // hidden signature, which recovery puts back, and its new tail.
    ASSERT_TRUE(crashed_at(path, 1, FaultPlan::Call::kFsync));
    ASSERT_TRUE(hidden(path));
    std::string record = read_file(h5::rollback_path(path));
    ASSERT_GT(record.size(), 64u);
    if (flip) {
      record[record.size() / 2] ^= 1;
    } else {
      record.pop_back();
    }
    std::ofstream(h5::rollback_path(path), std::ios::binary | std::ios::trunc) << record;
    EXPECT_EQ(h5::recover_journal(path), h5::Recovery::kDiscardedIncomplete);
    EXPECT_FALSE(exists(h5::rollback_path(path)));
    // The old bytes, and past them the new tail that the commit writes with its record, which
    // HDF5 does not look at.
    const std::string old_bytes = read_file(old_path());
    const std::string now = read_file(path);
    EXPECT_GT(now.size(), old_bytes.size()) << "the append must grow the file to test its tail";
    EXPECT_TRUE(now.compare(0, old_bytes.size(), old_bytes) == 0);
    EXPECT_EQ(rows_via_hdf5(path), rows_via_hdf5(old_path()));
  }
}

// --- a commit that makes the file smaller
// ---------------------------------------------------------

// A file whose last object is a large contiguous dataset: removing it frees the end of the file,
// and HDF5 (free space not kept) truncates the file to its new end, as a repair that cuts a file's
// tail does.
constexpr const char* kMakeShrinkable = R"(
import sys, h5py, numpy as np
with h5py.File(sys.argv[1], 'w', track_order=False) as f:
    f.create_dataset('index', data=np.arange(100, dtype='<i8'), track_times=False)
    f.create_dataset('big', data=np.arange(200000, dtype='<i8'), track_times=False)
)";

int remove_big(const std::string& path, std::optional<FaultPlan> faults) {
  h5::File file = h5::File::open_journaled(path, h5::Mode::kAppend, faults);
  file.remove("big");
  try {
    file.close();
  } catch (const OSError& e) {
    return e.error_number();
  }
  return 0;
}

// One old file with a large dataset, and the much smaller file the plain driver leaves once that
// dataset is removed.
class JournalShrinkTest : public OldAndNewFile {
 protected:
  static void SetUpTestSuite() {
    make_files(kMakeShrinkable, "", [](h5::File& file) { file.remove("big"); });
    if (HasFatalFailure()) return;
    ASSERT_LT(fs::file_size(new_path()), fs::file_size(old_path()) / 10);
  }
};

TEST_F(JournalShrinkTest, ACommitLeavesExactlyTheSmallerFile) {
  const std::string path = fresh("a.h5");
  EXPECT_EQ(remove_big(path, std::nullopt), 0);
  EXPECT_EQ(fs::file_size(path), fs::file_size(new_path()));
  EXPECT_TRUE(is_new(path));
  EXPECT_FALSE(exists(h5::rollback_path(path)));
}

// Killed at every I/O call of the commit, in turn: the next journaled open finds exactly the old
// file or the new one, never the old one cut short; and before that open, a plain h5py reader fails
// to open the file or reads the old or the new values. Some kills land after the file was made
// smaller, with a record of a session that freed the file's end.
TEST_F(JournalShrinkTest, AKillAtAnyIoCallLeavesTheOldOrTheNewFile) {
  bool saw_shrunk_before_recovery = false, saw_cut_record = false, last_new = false;
  std::vector<std::string> copies;
  std::vector<bool> record_pending;
  int k = 1;
  for (; k < 100; ++k) {
    SCOPED_TRACE("killed at I/O call " + std::to_string(k));
    const std::string path = fresh("k" + std::to_string(k) + ".h5");
    pid_t pid = ::fork();
    if (pid == 0) {
      int error = 1;
      try {
        error = remove_big(path, FaultPlan{FaultPlan::Call::kAny, k, 0, true});
      } catch (...) {
      }
      ::_exit(error == 0 ? 0 : 1);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 0) break;  // the commit finished before call k
    ASSERT_EQ(WEXITSTATUS(status), h5::kFaultCrashStatus);
    if (fs::file_size(path) < fs::file_size(old_path())) saw_shrunk_before_recovery = true;
    const bool pending = exists(h5::rollback_path(path));
    if (pending) {
      const std::string record = read_file(h5::rollback_path(path));
      auto decoded = h5::decode(std::as_bytes(std::span(record)));
      saw_cut_record = saw_cut_record || (decoded && decoded->cut_size < decoded->old_size);
    }
    EXPECT_TRUE(is_old(path) || is_new(path) || hidden(path));
    copies.push_back(snapshot(path, "before-recovery-" + std::to_string(k) + ".h5"));
    record_pending.push_back(pending);
    h5::File::open_journaled(path, h5::Mode::kReadOnly).close();
    EXPECT_FALSE(exists(h5::rollback_path(path)));
    EXPECT_TRUE(is_old(path) || is_new(path));
    last_new = is_new(path);
  }
  ASSERT_LT(k, 100);
  EXPECT_GT(k, 3);
  EXPECT_TRUE(saw_shrunk_before_recovery);
  EXPECT_TRUE(saw_cut_record);
  // The last kill point is just before the record's removal: the shown file is whole and new, and
  // the record is dropped.
  EXPECT_TRUE(last_new);
  std::vector<std::string> verdicts = classify(copies);
  ASSERT_EQ(verdicts.size(), copies.size());
  for (std::size_t i = 0; i < copies.size(); ++i) {
    SCOPED_TRACE(copies[i]);
    EXPECT_NE(verdicts[i], "wrong");
    if (!record_pending[i]) {
      EXPECT_NE(verdicts[i], "error");
    }
  }
}

TEST_F(JournalDriverTest, OldContentThatCannotBeMadeDurableAgainKeepsItsRecord) {
  std::string path = fresh("a.h5");
  // The file's own fsync fails, and every one after it: the rollback's as well.
  AppendResult result = journaled_append(
      path, FaultPlan{FaultPlan::Call::kFsync, 3, EIO, /*crash=*/false, /*sticky=*/true});
  EXPECT_EQ(result.error_number, EIO);
  EXPECT_FALSE(result.committed);
  // The old bytes are back but not known to be on disk: only the record can restore them after a
  // power cut, so it stays until an open rolls back with working fsyncs.
  EXPECT_TRUE(exists(h5::rollback_path(path)));
  expect_recovery(path, h5::Recovery::kRolledBack, read_file(old_path()));
}

// A commit that grows a file writes the new tail before its first barrier, which is also the one
// that makes the previous commit's record removal durable: a power cut can bring that record back
// beside its commit's new file, hidden by the next commit and longer than both of the record's
// sizes. That file is whole: it is shown again, as its own commit left it, and the record dropped.
TEST_F(JournalDriverTest, ARecordThatComesBackBesideTheNextCommitsHiddenFileIsDropped) {
  const int calls = journaled_append(fresh("count.h5"), std::nullopt).counts.total();
  std::string path = fresh("a.h5");
  ASSERT_TRUE(crashed_at(path, calls));  // the new file, shown, its record not yet removed
  const std::string committed = read_file(path);
  const auto record = read_record(path);
  ASSERT_TRUE(record.has_value());
  put_signature(path, h5::hidden_signature(record->commit_id + 1));
  fs::resize_file(path, committed.size() + 4096);
  EXPECT_EQ(h5::recover_journal(path), h5::Recovery::kDiscardedFinished);
  EXPECT_FALSE(hidden(path));
  EXPECT_TRUE(read_file(path).compare(0, committed.size(), committed) == 0);
  EXPECT_EQ(rows_via_hdf5(path), rows_via_hdf5(new_path()));
}

TEST(RollbackRecord, RoundTripsAndRejectsEveryShortOrDamagedCopy) {
  h5::RollbackRecord record;
  record.identity = {0x0102030405060708, 42};
  record.old_size = 5'680'000;
  record.new_size = 5'700'123;
  record.cut_size = 5'680'000;
  record.header_crc = 0xDEADBEEF;
  record.commit_id = 0x600DF00D;
  record.new_crc = 0x12345678;
  record.new_extents = {{0, 4200}, {5'700'000, 123}};
  record.ranges = {{0, std::vector<std::byte>(48, std::byte{7})},
                   {4096, std::vector<std::byte>(3, std::byte{9})}};
  std::vector<std::byte> bytes = h5::encode(record);
  // fixed part, extents, range headers, bytes, CRC
  ASSERT_EQ(bytes.size(), 80 + 2 * 16 + 2 * 16 + 48 + 3 + 4u);
  auto decoded = h5::decode(bytes);
  ASSERT_TRUE(decoded.has_value());
  EXPECT_EQ(decoded->commit_id, record.commit_id);
  EXPECT_EQ(decoded->new_crc, record.new_crc);
  ASSERT_EQ(decoded->new_extents.size(), 2u);
  EXPECT_EQ(decoded->new_extents[1].offset, 5'700'000u);
  EXPECT_EQ(decoded->identity, record.identity);
  EXPECT_EQ(decoded->new_size, record.new_size);
  EXPECT_EQ(decoded->header_crc, record.header_crc);
  ASSERT_EQ(decoded->ranges.size(), 2u);
  EXPECT_EQ(decoded->ranges[1].offset, 4096u);
  EXPECT_EQ(decoded->ranges[1].bytes, record.ranges[1].bytes);
  for (std::size_t n = 0; n < bytes.size(); ++n) {
    EXPECT_FALSE(h5::decode(std::span(bytes).first(n)).has_value()) << n;
    std::vector<std::byte> damaged = bytes;
    damaged[n] ^= std::byte{0x10};
    EXPECT_FALSE(h5::decode(damaged).has_value()) << n;
  }
}

// The session's bytes against a plain array that takes the same writes and cuts: appends that grow
// an extent in place, writes that bridge or swallow extents, overwrites inside one, and cuts.
TEST(WriteOverlay, HoldsWhatWasWrittenWhateverTheOrderOfWrites) {
  constexpr std::size_t kSpace = 4096;
  std::mt19937 rng(7);
  for (int round = 0; round < 50; ++round) {
    h5::WriteOverlay overlay;
    std::vector<int> model(kSpace, -1);  // -1: not written in the session
    std::uint64_t append_at = rng() % 256;
    for (int op = 0; op < 60; ++op) {
      const bool append = rng() % 2 == 0;
      std::uint64_t offset = append ? append_at : rng() % (kSpace - 64);
      std::size_t size = 1 + rng() % 63;
      if (offset + size > kSpace) offset = kSpace - size;
      if (rng() % 16 == 0) {
        overlay.cut(offset);
        for (std::size_t i = offset; i < kSpace; ++i) model[i] = -1;
        append_at = offset;
        continue;
      }
      std::vector<std::byte> data(size);
      for (std::size_t i = 0; i < size; ++i) {
        data[i] = std::byte(rng() % 256);
        model[offset + i] = int(data[i]);
      }
      overlay.write(offset, data.data(), size);
      if (append) append_at = std::min<std::uint64_t>(offset + size, kSpace - 64);
    }
    std::vector<std::byte> seen(kSpace, std::byte{0});
    overlay.read_over(0, seen.data(), kSpace);
    std::uint64_t previous_end = 0;
    bool first = true;
    for (const auto& [start, bytes] : overlay.extents()) {
      // Disjoint and never touching: touching writes are one extent.
      EXPECT_TRUE(first || start > previous_end) << start;
      first = false;
      previous_end = start + bytes.size();
    }
    for (std::size_t i = 0; i < kSpace; ++i) {
      if (model[i] >= 0)
        ASSERT_EQ(int(seen[i]), model[i]) << "round " << round << " at " << i;
      else
        ASSERT_EQ(int(seen[i]), 0) << "round " << round << " at " << i;
    }
  }
}

}  // namespace
}  // namespace tessera_plus
