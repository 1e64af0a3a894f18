// How a stop request (base/stop_request.h) ends a run: the loops that hand out work hand out no
// more and let what is in flight finish, then the run unwinds with Interrupted, leaving every file
// it did not reach as it was. The program turns it into one console line and the exit status
// 128 + the signal's number; the Python module into KeyboardInterrupt.
#pragma once

#include <string>

#include "tessera_plus/base/errors.h"

namespace tessera_plus {

class Interrupted : public ExitRequest {
 public:
  // `signo` 0 (a request that named no signal) counts as SIGINT.
  explicit Interrupted(int signo);
  int signal() const noexcept { return signal_; }
  // "interrupted by SIGINT"
  const char* what() const noexcept override { return what_.c_str(); }

  // What the run had done when it stopped, in the words of the command's stop line; empty until
  // the command says.
  const std::string& done() const noexcept { return done_; }
  void set_done(std::string done) { done_ = std::move(done); }

 private:
  int signal_;
  std::string what_;
  std::string done_;
};

// "SIGINT", "SIGTERM", "SIGHUP", or "signal N" for any other.
std::string signal_name(int signo);

// Throws Interrupted when a stop has been requested: the check between steps of a run.
void throw_if_stopped();

}  // namespace tessera_plus
