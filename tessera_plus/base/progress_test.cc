#include "tessera_plus/base/progress.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>

namespace tessera_plus {
namespace {

// A bar drawing into a temporary file by a clock the test moves.
struct Harness {
  std::FILE* file = std::tmpfile();
  ProgressOptions::Clock::time_point now{};
  ProgressOptions options(bool terminal, bool quiet = false) {
    return {.log_interval = std::chrono::milliseconds(5000),
            .now = [this] { return now; },
            .out = file,
            .terminal = terminal,
            .quiet = quiet};
  }
  std::string text() {
    std::fflush(file);
    std::rewind(file);
    std::string out;
    for (int c; (c = std::fgetc(file)) != EOF;) out += static_cast<char>(c);
    return out;
  }
  ~Harness() { std::fclose(file); }
};

std::size_t count(const std::string& text, char c) {
  return static_cast<std::size_t>(std::count(text.begin(), text.end(), c));
}

TEST(ProgressBar, OffATerminalPrintsALinePerIntervalAndTheFinalOne) {
  Harness h;
  {
    ProgressBar bar(1000, "", h.options(false));
    for (int i = 0; i < 400; ++i) bar.advance();  // no time passes: nothing yet
    EXPECT_EQ(h.text(), "");
    h.now += std::chrono::seconds(6);
    bar.advance();  // an interval has passed: one line
    for (int i = 0; i < 500; ++i) bar.advance();
    h.now += std::chrono::seconds(2);
    bar.advance();  // too soon for another
  }
  const std::string text = h.text();
  EXPECT_EQ(count(text, '\n'), 2u) << text;
  EXPECT_NE(text.find(" 401/1000 "), std::string::npos) << text;
  EXPECT_NE(text.find(" 902/1000 ["), std::string::npos) << text;  // the final line
  EXPECT_EQ(text.find('\r'), std::string::npos) << text;
}

TEST(ProgressBar, OnATerminalRedrawsInPlace) {
  Harness h;
  {
    ProgressBar bar(3, "", h.options(true));
    h.now += std::chrono::seconds(1);
    bar.advance();
  }
  const std::string text = h.text();
  EXPECT_EQ(count(text, '\r'), 2u) << text;  // after a step, at the end
  EXPECT_EQ(count(text, '\n'), 1u) << text;
}

TEST(ProgressBar, QuietDrawsNothing) {
  for (bool terminal : {false, true}) {
    Harness h;
    {
      ProgressBar bar(3, "", h.options(terminal, true));
      h.now += std::chrono::seconds(10);
      bar.advance(3);
    }
    EXPECT_EQ(h.text(), "") << terminal;
  }
}

}  // namespace
}  // namespace tessera_plus
