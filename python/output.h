// The console of a released call: file descriptors 1 and 2 led through pipes whose lines the
// calling thread hands to Python (python/background_call.h says where they go).
#pragma once

#include <poll.h>

#include <array>
#include <string>
#include <vector>

#include "python/background_call.h"

namespace tessera_plus::python {

// One descriptor led into a pipe for as long as the object lives; the original is kept to write
// to when the Python stream in front of it is the same descriptor.
class LedDescriptor {
 public:
  explicit LedDescriptor(int target);
  ~LedDescriptor();
  LedDescriptor(const LedDescriptor&) = delete;
  LedDescriptor& operator=(const LedDescriptor&) = delete;

  // Puts the original back; what the pipe still holds stays readable.
  void restore() noexcept;
  int pipe() const { return read_; }
  int original() const { return saved_; }
  // Whole lines read so far, without their line breaks; the rest waits for more. At `end`, a last
  // line without a break counts too.
  std::vector<std::string> take_lines(bool end);

 private:
  int target_;
  int saved_ = -1;
  int read_ = -1;
  bool restored_ = false;
  std::string pending_;
};

class ConsoleRouter {
 public:
  explicit ConsoleRouter(const CallOutput& output);
  ~ConsoleRouter();
  ConsoleRouter(const ConsoleRouter&) = delete;
  ConsoleRouter& operator=(const ConsoleRouter&) = delete;

  // The pipes to wait on, readable or not.
  std::array<pollfd, 2> poll_set() const;
  // Hands what has arrived to Python; with the lock held. Throws py::error_already_set when Python
  // code (a handler, the callback) raised.
  void forward(bool end = false);
  // Puts descriptors 1 and 2 back, once every writer (the work, its workers) has ended, and
  // forwards what the pipes still hold.
  void finish();

 private:
  void standard_output(const std::string& line);
  void standard_error(const std::string& line);

  const CallOutput& output_;
  LedDescriptor out_{1};
  LedDescriptor err_{2};
  std::string saved_progress_;
  bool had_progress_ = false;
};

}  // namespace tessera_plus::python
