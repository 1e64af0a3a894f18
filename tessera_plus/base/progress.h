// A progress bar on standard error: done/total, rate and time left. On a terminal it redraws one
// line (at most ten times a second); otherwise it prints a line at every tenth of the way, so logs
// stay short.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>

namespace tessera_plus::tessera {

class ProgressBar {
 public:
  explicit ProgressBar(std::size_t total, std::string caption = "");
  ~ProgressBar();
  ProgressBar(const ProgressBar&) = delete;
  ProgressBar& operator=(const ProgressBar&) = delete;

  void advance(std::size_t steps = 1);
  // Draws the final state and ends the line; called by the destructor if not before.
  void finish();

 private:
  void draw(bool final);
  std::string render() const;

  std::size_t total_;
  std::size_t done_ = 0;
  std::string caption_;
  bool tty_;
  bool finished_ = false;
  std::size_t last_decile_ = 0;
  std::chrono::steady_clock::time_point start_;
  std::chrono::steady_clock::time_point last_draw_;
};

}  // namespace tessera_plus::tessera
