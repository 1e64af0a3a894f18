// Console writes that fail: the stream is skipped from then on, nothing throws (a progress bar
// included), and the log gets one line for it, however many writes follow.
#include "tessera_plus/base/console.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "tessera_plus/base/progress.h"
#include "tests/support/env.h"
#include "tests/support/temp_dir.h"

namespace tessera_plus {
namespace {

std::size_t count_lines(const std::string& text) {
  std::size_t n = 0;
  for (char c : text) n += c == '\n';
  return n;
}

TEST(Console, AFullDeviceIsLoggedOnceAndSkippedWhileASoundStreamGetsEverything) {
  testing::TempDir dir;
  testing::ScopedEnv log("TESSERA_LOG_FILE", dir / "log");
  std::FILE* full = std::fopen("/dev/full", "w");
  ASSERT_NE(full, nullptr);
  console_write(full, "first\n");
  EXPECT_TRUE(console_gone(full));
  console_put(full, "second");
  console_flush(full);
  {
    ProgressBar bar(3, "files", {.out = full, .terminal = true, .quiet = false});
    bar.advance(3);
  }
  std::fclose(full);
  const std::string logged = testing::read_file(dir / "log");
  EXPECT_EQ(count_lines(logged), 1u) << logged;
  EXPECT_NE(logged.find("No space left on device"), std::string::npos) << logged;

  std::FILE* sound = std::fopen((dir / "sound").c_str(), "w");
  console_put(sound, "a");
  console_write(sound, "b\n");
  EXPECT_FALSE(console_gone(sound));
  std::fclose(sound);
  EXPECT_EQ(testing::read_file(dir / "sound"), "ab\n");
}

}  // namespace
}  // namespace tessera_plus
