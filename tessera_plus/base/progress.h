// A progress bar on standard error: its caption (what it counts), done/total, rate and time left.
// On a terminal it redraws one line in place (at most ten times a second), fitted to the
// terminal's width as it is at each draw (so a resized window is followed; Chinese characters
// count two columns): narrower, it drops the rate and times, then shortens the caption, and never
// takes a second screen line. Otherwise (a log file,
// a pipe, cron) it prints a line every few seconds while work is in flight, whether or not an item
// ended meanwhile (heartbeat), and the final line once, so logs stay short and a stalled run is
// told from a slow one. TESSERA_PROGRESS=0 in the environment silences every bar (the program's
// --quiet sets it).
// Drawing never throws: a stream whose write fails is skipped from then on (base/console.h).
// TESSERA_PROGRESS=events turns each bar into one line per change, for a front end that draws its
// own progress:
//   \x1e<caption>\t<done>\t<total>\n
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>

namespace tessera_plus {

// How a bar draws; the defaults are the program's. Tests give their own clock and stream.
struct ProgressOptions {
  using Clock = std::chrono::steady_clock;
  // Between lines when not on a terminal. With heartbeats every heartbeat_interval(), no more than
  // five seconds pass without a line while work is in flight.
  std::chrono::milliseconds log_interval{4000};
  std::function<Clock::time_point()> now = Clock::now;
  std::FILE* out = stderr;
  std::optional<bool> terminal{};  // unset: whether `out` is a terminal
  std::optional<bool> quiet{};     // unset: whether TESSERA_PROGRESS is "0"
  // On a terminal, the columns to fit. Unset: the terminal's width at each draw, else $COLUMNS,
  // else 80.
  std::optional<std::size_t> columns{};
};

class ProgressBar {
 public:
  explicit ProgressBar(std::size_t total, std::string caption = "", ProgressOptions options = {});
  ~ProgressBar();
  ProgressBar(const ProgressBar&) = delete;
  ProgressBar& operator=(const ProgressBar&) = delete;

  void advance(std::size_t steps = 1);
  // Shows, once the interval has passed, that the work goes on although nothing advanced: called
  // by whoever waits for the work (process_pool.h), every heartbeat_interval().
  void heartbeat();
  static constexpr std::chrono::milliseconds heartbeat_interval() {
    return std::chrono::milliseconds(1000);
  }
  // Draws the final state and ends the line; called by the destructor if not before.
  void finish();

 private:
  void draw(bool final);
  std::string render() const;
  std::string render_to_fit(std::size_t columns) const;
  std::size_t columns() const;

  std::size_t total_;
  std::size_t done_ = 0;
  std::string caption_;
  ProgressOptions options_;
  bool tty_;
  bool quiet_;
  bool events_;
  bool finished_ = false;
  std::chrono::steady_clock::time_point start_;
  std::chrono::steady_clock::time_point last_draw_;
};

}  // namespace tessera_plus
