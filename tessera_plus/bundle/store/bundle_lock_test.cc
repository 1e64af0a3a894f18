// The bundle's run lock around a bundle directory that a run creates: gone again when the run
// leaves it empty, kept when it wrote something, and taken anew by a waiting run whose holder
// removed it.
#include "tessera_plus/bundle/store/bundle_lock.h"

#include <sys/wait.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <ostream>
#include <streambuf>

#include "tessera_plus/base/errors.h"
#include "tessera_plus/bundle/store/bundle_layout.h"
#include "tests/support/temp_dir.h"

namespace tessera_plus::bundle {
namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;

// An output stream that calls `on_write` when something is first written to it.
class Noticing : public std::streambuf {
 public:
  explicit Noticing(std::function<void()> on_write) : on_write_(std::move(on_write)) {}

 protected:
  int overflow(int c) override {
    if (on_write_) std::exchange(on_write_, nullptr)();
    return c == traits_type::eof() ? traits_type::not_eof(c) : c;
  }

 private:
  std::function<void()> on_write_;
};

TEST(BundleLock, ARunLeavesNoDirectoryItCreatedForNothingAndKeepsOneItFilled) {
  testing::TempDir dir;
  const fs::path root = dir / "new/root";
  {
    std::optional<BundleLock> lock = lock_bundle(root, milliseconds(0), MissingBundle::kCreate);
    ASSERT_TRUE(lock);
    EXPECT_TRUE(fs::exists(run_lock_file(bundle_dir(root))));
  }
  EXPECT_FALSE(fs::exists(dir / "new"));
  {
    std::optional<BundleLock> lock = lock_bundle(root, milliseconds(0), MissingBundle::kCreate);
    std::ofstream(bundle_dir(root) / "trading_dates.npy") << "x";
  }
  EXPECT_TRUE(fs::exists(bundle_dir(root) / "trading_dates.npy"));
  EXPECT_FALSE(fs::exists(run_lock_file(bundle_dir(root))));
  // Runs that do not create the bundle take no lock where there is none.
  EXPECT_FALSE(lock_bundle(dir / "elsewhere", milliseconds(0), MissingBundle::kNoLock));
  EXPECT_FALSE(fs::exists(dir / "elsewhere"));
}

// The holder created the bundle directory and removes it when it ends; the run that waited for it
// creates it again and holds it.
TEST(BundleLock, AWaiterWhoseHolderRemovedTheBundleTakesItAnew) {
  testing::TempDir dir;
  const fs::path root = dir / "root";
  int ready[2], release[2];
  ASSERT_EQ(::pipe(ready), 0);
  ASSERT_EQ(::pipe(release), 0);
  const pid_t holder = ::fork();
  if (holder == 0) {
    ::close(release[1]);
    char byte = 'n';
    try {
      std::optional<BundleLock> lock = lock_bundle(root, milliseconds(0), MissingBundle::kCreate);
      byte = 'y';
      [[maybe_unused]] ssize_t n = ::write(ready[1], &byte, 1);
      n = ::read(release[0], &byte, 1);
    } catch (...) {
    }
    ::_exit(0);
  }
  ::close(release[0]);
  char byte = 'n';
  ASSERT_EQ(::read(ready[0], &byte, 1), 1);
  ASSERT_EQ(byte, 'y');
  Noticing notice([&] { ::close(release[1]); });
  std::ostream out(&notice);
  std::optional<BundleLock> mine =
      lock_bundle(root, std::chrono::minutes(10), MissingBundle::kCreate, &out);
  ::waitpid(holder, nullptr, 0);
  ASSERT_TRUE(mine);
  EXPECT_TRUE(fs::exists(run_lock_file(bundle_dir(root))));
  EXPECT_THROW(lock_bundle(root, milliseconds(0), MissingBundle::kNoLock), BlockingIOError);
}

}  // namespace
}  // namespace tessera_plus::bundle
