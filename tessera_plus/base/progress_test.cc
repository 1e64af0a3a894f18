#include "tessera_plus/base/progress.h"

#include "tessera_plus/base/display_width.h"

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

// A cron log: every line names what is counted; a line comes each interval while work is in
// flight even when nothing ended; the bar that completes says so once.
TEST(ProgressBar, OffATerminalLinesAreLabelledKeepComingWhileWaitingAndEndOnce) {
  Harness h;
  {
    ProgressBar bar(2, "分钟线文件", h.options(false));
    h.now += std::chrono::seconds(6);
    bar.heartbeat();  // nothing ended yet, but the reader learns the run is alive
    h.now += std::chrono::seconds(1);
    bar.heartbeat();  // too soon for another
    h.now += std::chrono::seconds(5);
    bar.heartbeat();
    bar.advance(2);  // complete: left to the final line
    h.now += std::chrono::seconds(6);
    bar.heartbeat();
    bar.finish();
  }
  const std::string text = h.text();
  ASSERT_EQ(count(text, '\n'), 3u) << text;
  std::size_t start = 0;
  for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    EXPECT_TRUE(text.substr(start).starts_with("分钟线文件: ")) << text;
  }
  EXPECT_NE(text.find(" 0/2 [00:06<"), std::string::npos) << text;
  EXPECT_NE(text.find(" 0/2 [00:12<"), std::string::npos) << text;
  EXPECT_EQ(text.find(" 2/2 "), text.rfind(" 2/2 ")) << text;  // the final line, once
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

// Every redraw on a terminal fits one screen line, Chinese counted two columns each: at 80 columns
// the whole line, narrower without rate and times, then with the caption cut.
TEST(ProgressBar, OnATerminalEachDrawFitsTheWidth) {
  struct Width {
    std::size_t columns;
    bool times;          // the rate and times shown
    bool whole_caption;  // the caption shown whole
  };
  for (const Width& w : {Width{80, true, true}, Width{40, false, false}, Width{16, false, false}}) {
    Harness h;
    {
      ProgressOptions options = h.options(true);
      options.columns = w.columns;
      ProgressBar bar(4970, "日线及基础数据文件", options);
      for (int i = 0; i < 4970; ++i) {
        h.now += std::chrono::milliseconds(150);
        bar.advance();
      }
    }
    std::string text = h.text();
    std::size_t draws = 0;
    for (std::size_t at = text.find('\r'); at != std::string::npos; at = text.find('\r', at + 1)) {
      std::string line = text.substr(at + 1, text.find_first_of("\r\n", at + 1) - at - 1);
      line = line.substr(0, line.find("\x1b[K"));
      EXPECT_LT(display_width(line), w.columns) << line;
      EXPECT_EQ(line.find("it/s") != std::string::npos, w.times) << line;
      EXPECT_EQ(line.find("日线及基础数据文件") != std::string::npos, w.whole_caption) << line;
      ++draws;
    }
    EXPECT_GT(draws, 100u) << w.columns;
    EXPECT_EQ(count(text, '\n'), 1u) << w.columns;
  }
}

TEST(DisplayWidth, ChineseTakesTwoColumnsAndCutsFallBetweenCharacters) {
  EXPECT_EQ(display_width("分钟线文件: 12%"), 15u);
  EXPECT_EQ(cut_to_width("分钟线文件", 5), "分钟");
  EXPECT_EQ(cut_to_width("ab分", 3), "ab");
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
