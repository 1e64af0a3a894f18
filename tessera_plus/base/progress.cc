#include "tessera_plus/base/progress.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include <fmt/format.h>

#include "tessera_plus/base/console.h"
#include "tessera_plus/base/display_width.h"

namespace tessera_plus {
namespace {

std::string clock_text(double seconds) {
  if (seconds < 0 || seconds > 359999) return "--:--";
  const long s = std::lround(seconds);
  if (s >= 3600) return fmt::format("{}:{:02d}:{:02d}", s / 3600, s / 60 % 60, s % 60);
  return fmt::format("{:02d}:{:02d}", s / 60, s % 60);
}

bool progress_set_to(std::string_view value) {
  const char* setting = std::getenv("TESSERA_PROGRESS");
  return setting != nullptr && std::string_view(setting) == value;
}

// The bar proper between its two edges: `width` columns, filled to `fraction`.
std::string bar_of(double fraction, std::size_t width) {
  const auto filled = std::min(width, static_cast<std::size_t>(fraction * double(width)));
  return "|" + std::string(filled, '#') + std::string(width - filled, ' ') + "|";
}

}  // namespace

ProgressBar::ProgressBar(std::size_t total, std::string caption, ProgressOptions options)
    : total_(total),
      caption_(std::move(caption)),
      options_(std::move(options)),
      tty_(options_.terminal.value_or(::isatty(::fileno(options_.out)) == 1)),
      quiet_(options_.quiet.value_or(progress_set_to("0"))),
      events_(progress_set_to("events")),
      start_(options_.now()),
      last_draw_(start_) {
  if (tty_ || events_) draw(false);
}

ProgressBar::~ProgressBar() { finish(); }

void ProgressBar::advance(std::size_t steps) {
  done_ += steps;
  if (done_ > total_) done_ = total_;
  draw(false);
}

void ProgressBar::heartbeat() { draw(false); }

void ProgressBar::finish() {
  if (finished_) return;
  finished_ = true;
  draw(true);
}

std::string ProgressBar::render() const {
  constexpr std::size_t kWidth = 30;
  double fraction = total_ == 0 ? 1.0 : static_cast<double>(done_) / static_cast<double>(total_);
  auto filled = static_cast<std::size_t>(fraction * kWidth);
  double elapsed = std::chrono::duration<double>(options_.now() - start_).count();
  double rate = elapsed > 0 ? static_cast<double>(done_) / elapsed : 0.0;
  double left = rate > 0 ? static_cast<double>(total_ - done_) / rate : -1.0;
  return fmt::format("{}{}{:3.0f}%|{}{}| {}/{} [{}<{}, {:.2f}it/s]", caption_,
                     caption_.empty() ? "" : ": ", fraction * 100, std::string(filled, '#'),
                     std::string(kWidth - filled, ' '), done_, total_, clock_text(elapsed),
                     clock_text(left), rate);
}

std::size_t ProgressBar::columns() const {
  if (options_.columns) return *options_.columns;
  winsize size{};
  if (::ioctl(::fileno(options_.out), TIOCGWINSZ, &size) == 0 && size.ws_col > 0) {
    return size.ws_col;
  }
  const char* env = std::getenv("COLUMNS");
  const long columns = env ? std::strtol(env, nullptr, 10) : 0;
  return columns > 0 ? static_cast<std::size_t>(columns) : 80;
}

std::string ProgressBar::render_to_fit(std::size_t columns) const {
  constexpr std::size_t kWidest = 30, kNarrowest = 10;
  // The last column is left free: some terminals wrap as soon as it is written.
  const std::size_t room = columns > 1 ? columns - 1 : 0;
  const double fraction =
      total_ == 0 ? 1.0 : static_cast<double>(done_) / static_cast<double>(total_);
  const double elapsed = std::chrono::duration<double>(options_.now() - start_).count();
  const double rate = elapsed > 0 ? static_cast<double>(done_) / elapsed : 0.0;
  const double left = rate > 0 ? static_cast<double>(total_ - done_) / rate : -1.0;
  const std::string percent = fmt::format("{:3.0f}%", fraction * 100);
  const std::string counts = fmt::format(" {}/{}", done_, total_);
  const std::string times =
      fmt::format(" [{}<{}, {:.2f}it/s]", clock_text(elapsed), clock_text(left), rate);
  const std::string label = caption_.empty() ? "" : caption_ + ": ";
  // The richest line that fits: the whole caption with the times, then without them.
  for (const std::string& tail : {counts + times, counts}) {
    const std::size_t fixed = display_width(label) + percent.size() + tail.size() + 2;
    if (fixed + kNarrowest <= room) {
      return label + percent + bar_of(fraction, std::min(kWidest, room - fixed)) + tail;
    }
  }
  // Then a shortened caption, while a few of its characters still say what is counted.
  const std::size_t fixed = percent.size() + counts.size() + 2 + kNarrowest;
  if (!caption_.empty() && fixed + 2 + 4 <= room) {
    return cut_to_width(caption_, room - fixed - 2) + ": " + percent +
           bar_of(fraction, kNarrowest) + counts;
  }
  return cut_to_width(percent + counts, room);
}

void ProgressBar::draw(bool final) {
  if (quiet_) return;
  if (events_) {
    fmt::print(options_.out, "\x1e{}\t{}\t{}\n", caption_, done_, total_);
    std::fflush(options_.out);
    return;
  }
  auto now = options_.now();
  if (tty_) {
    if (!final && now - last_draw_ < std::chrono::milliseconds(100)) return;
    last_draw_ = now;
    // Formatted in one piece: GCC 12 at -O3 misreads "\r" + std::string as overlapping copies.
    // Erased to the end of the line: a shorter line (a narrowed window) leaves nothing behind.
    console_write(options_.out,
                  fmt::format("\r{}\x1b[K{}", render_to_fit(columns()), final ? "\n" : ""));
    return;
  }
  // A log keeps one line per interval at most, and the final one; a short task logs only that. A
  // complete bar waits for its final line, which would otherwise repeat it.
  if (!final && (now - last_draw_ < options_.log_interval || done_ == total_)) return;
  last_draw_ = now;
  console_write(options_.out, render() + "\n");
}

}  // namespace tessera_plus
