#include "tests/support/running_cli.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/support/check_fixtures.h"

namespace tessera_plus::testing {

Running::Running(const std::vector<std::string>& args, const std::vector<std::string>& env,
                 bool own_group, bool stderr_too) {
  int in[2], out[2];
  if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) return;
  pid_ = ::fork();
  if (pid_ == 0) {
    if (own_group) ::setpgid(0, 0);
    // As a foreground job gets them, however the test was started (a background job of a shell
    // starts with SIGINT ignored, which the program would keep).
    for (int signo : {SIGINT, SIGTERM, SIGHUP}) ::signal(signo, SIG_DFL);
    ::dup2(in[0], 0);
    ::dup2(out[1], 1);
    if (stderr_too) {
      ::dup2(out[1], 2);
    } else {
      ::dup2(::open("/dev/null", O_WRONLY), 2);
    }
    exec_cli(args, env);
  }
  ::close(in[0]);
  ::close(out[1]);
  in_fd_ = in[1];
  out_fd_ = out[0];
}

Running::~Running() { finish(); }

const std::string& Running::read_until(const std::string& text) {
  char buffer[4096];
  ssize_t n;
  while (out_.find(text) == std::string::npos && (n = ::read(out_fd_, buffer, sizeof buffer)) > 0) {
    out_.append(buffer, static_cast<std::size_t>(n));
  }
  return out_;
}

void Running::answer(const std::string& line) {
  [[maybe_unused]] ssize_t n = ::write(in_fd_, line.data(), line.size());
}

int Running::finish() {
  if (pid_ <= 0) return status_;
  if (in_fd_ >= 0) ::close(in_fd_);
  in_fd_ = -1;
  read_until("\x01never printed\x01");
  ::close(out_fd_);
  int status = 0;
  ::waitpid(pid_, &status, 0);
  pid_ = -1;
  status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return status_;
}

void Running::kill_group() {
  ::kill(-pid_, SIGKILL);
  ::waitpid(pid_, nullptr, 0);
  pid_ = -1;
  ::close(in_fd_);
  ::close(out_fd_);
  in_fd_ = out_fd_ = -1;
}

}  // namespace tessera_plus::testing
