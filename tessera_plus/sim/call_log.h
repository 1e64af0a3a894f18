// A record of every call the simulated service receives, for measuring what a run asks of a
// service: how many calls, and how closely together (a rate limit is a promise about arrivals at
// the service, so that is where it is checked).
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "tessera_plus/base/file_descriptor.h"

namespace tessera_plus::tallow::sim {

class CallLog {
 public:
  // Appends to `path` (created when missing); an empty path records nothing. OSError when the
  // file cannot be opened.
  explicit CallLog(const std::string& path);

  // One line "MONOTONIC_NS PID OPERATION" per call. Every process forked from the one that opened
  // the log appends to the same file; lines stay whole because each is one append. OSError when the
  // line cannot be written.
  void note(std::string_view operation) const;

 private:
  std::string path_;
  std::shared_ptr<FileDescriptor> file_;
};

}  // namespace tessera_plus::tallow::sim
