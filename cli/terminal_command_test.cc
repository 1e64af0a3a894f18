// Progress bars in a real terminal: tmux at 80 and at 40 columns, an update that draws every bar
// (base data, minute bars, ticks). Each bar must keep to one screen line, its Chinese caption
// counted two columns, however often it redraws; a bar that overflows the width leaves a wrapped
// fragment on a row of its own.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <regex>
#include <string>
#include <vector>

#include "tessera_plus/base/display_width.h"
#include "tests/support/check_fixtures.h"
#include "tests/support/temp_dir.h"

namespace tessera_plus {
namespace {

class Terminal : public ::testing::Test {
 protected:
  // The screen rows of a tmux window `columns` wide after `command` ran in it to its end.
  std::vector<std::string> rows_after(const std::string& command, int columns) {
    // A server of its own per window: kill-server returns before the old server has gone, and a
    // new session on the same socket can meet it dying ("server exited unexpectedly").
    const std::string tmux = "tmux -S " + (dir / ("tmux-" + std::to_string(columns) + ".socket"));
    // `cat` keeps the pane open for the capture once the program has ended.
    const std::string run = tmux + " new-session -d -x " + std::to_string(columns) + " -y 120 '" +
                            command + "; " + tmux + " wait-for -S ended; exec cat'";
    EXPECT_EQ(std::system(run.c_str()), 0) << run;
    EXPECT_EQ(std::system((tmux + " wait-for ended").c_str()), 0);
    const std::string screen = dir / "screen.txt";
    EXPECT_EQ(std::system((tmux + " capture-pane -p -S -500 > " + screen).c_str()), 0);
    std::system((tmux + " kill-server").c_str());
    return testing::read_lines(screen);
  }

  testing::TempDir dir;
};

TEST_F(Terminal, EveryBarKeepsToOneScreenLineAt80And40Columns) {
  const std::regex whole_bar(R"(.*[0-9]+%\|[# ]*\| [0-9]+/[0-9]+( \[.*it/s\])?\s*)");
  for (int columns : {80, 40}) {
    SCOPED_TRACE(columns);
    const std::string root = dir / ("root" + std::to_string(columns));
    const std::string command =
        "env TESSERA_NOW=\"2024-06-28 20:00:00\" TESSERA_LOG_FILE=" + (dir / "log") +
        " TALLOW_SIM_FAULT_RATE=0 " TESSERA_PLUS_CLI " update -d " + root +
        " -j 2 --minbar 000001.XSHE 000002.XSHE RB --tick 000002.XSHE";
    const std::vector<std::string> rows = rows_after(command, columns);
    std::size_t bars = 0;
    for (const std::string& row : rows) {
      EXPECT_LE(display_width(row), static_cast<std::size_t>(columns)) << row;
      if (row.find("%|") != std::string::npos) {
        ++bars;
        EXPECT_TRUE(std::regex_match(row, whole_bar)) << row;
      } else {
        // What a wrapped bar leaves behind on the next row.
        EXPECT_THAT(row, ::testing::Not(::testing::HasSubstr("it/s"))) << row;
        EXPECT_FALSE(std::regex_search(row, std::regex(R"(^[# ]*\| [0-9]+/[0-9]+)"))) << row;
      }
    }
    EXPECT_EQ(bars, 3u) << ::testing::PrintToString(rows);
  }
}

}  // namespace
}  // namespace tessera_plus
