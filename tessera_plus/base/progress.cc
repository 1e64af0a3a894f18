#include "tessera_plus/base/progress.h"

#include <unistd.h>

#include <cmath>
#include <cstdio>

#include <fmt/format.h>

namespace tessera_plus::tessera {
namespace {

std::string clock_text(double seconds) {
  if (seconds < 0 || seconds > 359999) return "--:--";
  const long s = std::lround(seconds);
  if (s >= 3600) return fmt::format("{}:{:02d}:{:02d}", s / 3600, s / 60 % 60, s % 60);
  return fmt::format("{:02d}:{:02d}", s / 60, s % 60);
}

}  // namespace

ProgressBar::ProgressBar(std::size_t total, std::string caption)
    : total_(total),
      caption_(std::move(caption)),
      tty_(::isatty(STDERR_FILENO) == 1),
      start_(std::chrono::steady_clock::now()),
      last_draw_(start_) {
  if (tty_) draw(false);
}

ProgressBar::~ProgressBar() { finish(); }

void ProgressBar::advance(std::size_t steps) {
  done_ += steps;
  if (done_ > total_) done_ = total_;
  draw(false);
}

void ProgressBar::finish() {
  if (finished_) return;
  finished_ = true;
  draw(true);
}

std::string ProgressBar::render() const {
  constexpr std::size_t kWidth = 30;
  double fraction = total_ == 0 ? 1.0 : static_cast<double>(done_) / static_cast<double>(total_);
  auto filled = static_cast<std::size_t>(fraction * kWidth);
  double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  double rate = elapsed > 0 ? static_cast<double>(done_) / elapsed : 0.0;
  double left = rate > 0 ? static_cast<double>(total_ - done_) / rate : -1.0;
  return fmt::format("{}{}{:3.0f}%|{}{}| {}/{} [{}<{}, {:.2f}it/s]", caption_,
                     caption_.empty() ? "" : ": ", fraction * 100, std::string(filled, '#'),
                     std::string(kWidth - filled, ' '), done_, total_, clock_text(elapsed),
                     clock_text(left), rate);
}

void ProgressBar::draw(bool final) {
  auto now = std::chrono::steady_clock::now();
  if (tty_) {
    if (!final && now - last_draw_ < std::chrono::milliseconds(100)) return;
    last_draw_ = now;
    // Formatted in one piece: GCC 12 at -O3 misreads "\r" + std::string as overlapping copies.
    fmt::print(stderr, "\r{}{}", render(), final ? "\n" : "");
    std::fflush(stderr);
    return;
  }
  std::size_t decile = total_ == 0 ? 10 : done_ * 10 / total_;
  if (!final && decile == last_decile_) return;
  if (final && decile == last_decile_ && done_ != 0) return;
  last_decile_ = decile;
  fmt::print(stderr, "{}\n", render());
}

}  // namespace tessera_plus::tessera
