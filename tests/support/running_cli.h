// The real program running beside a test, its standard input and output on pipes, so that the
// test answers its questions and signals it at the moment its output shows.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace tessera_plus::testing {

class Running {
 public:
  // With `own_group`, in a process group of its own, as a supervisor starts a job. Standard error
  // goes to /dev/null, or with `stderr_too` into the output beside standard output, as on a
  // terminal.
  Running(const std::vector<std::string>& args, const std::vector<std::string>& env,
          bool own_group = false, bool stderr_too = false);
  ~Running();
  Running(const Running&) = delete;
  Running& operator=(const Running&) = delete;

  pid_t pid() const { return pid_; }
  // What it has printed once `text` is among it (or it has closed its output).
  const std::string& read_until(const std::string& text);
  void answer(const std::string& line);
  // Its exit status (-1 when it did not exit normally), once its output is read to the end.
  int finish();
  const std::string& output() const { return out_; }
  // Kills its whole process group at once, as a supervisor does, and reaps the program only.
  void kill_group();

 private:
  pid_t pid_ = -1;
  int in_fd_ = -1;
  int out_fd_ = -1;
  std::string out_;
  int status_ = -1;
};

}  // namespace tessera_plus::testing
