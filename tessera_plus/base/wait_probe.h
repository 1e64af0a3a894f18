// Telling a call that waited for something outside the machine (a service's answer) from one that
// was only busy, or preempted on a busy machine: what decides whether overlapping calls is worth
// its processes.
#pragma once

#include <chrono>

namespace tessera_plus {

// Started where the call starts, asked where it ends; about the calling thread only.
class WaitProbe {
 public:
  WaitProbe();

  // Whether the thread blocked since the probe started, and the time beyond its CPU time came to
  // `at_least`. Blocking is asked for because time spent preempted also passes outside the CPU
  // time, and says nothing about what the call waited for.
  bool waited(std::chrono::microseconds at_least) const;

 private:
  std::chrono::microseconds cpu_;
  long blocked_;
  std::chrono::steady_clock::time_point wall_;
};

}  // namespace tessera_plus
