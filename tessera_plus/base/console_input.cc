#include "tessera_plus/base/console_input.h"

#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <iostream>
#include <streambuf>

#include "tessera_plus/base/stop_request.h"

namespace tessera_plus {
namespace {

class StdinBuffer : public std::streambuf {
 protected:
  int_type underflow() override {
    if (gptr() < egptr()) return traits_type::to_int_type(*gptr());
    const ssize_t n = read_unless_stopped();
    if (n <= 0) return traits_type::eof();
    setg(buffer_, buffer_, buffer_ + n);
    return traits_type::to_int_type(*gptr());
  }

 private:
  // The stop signals are blocked but while ppoll waits, so that one arriving between the check
  // and the wait still ends the wait rather than being noticed only at the next keystroke.
  static ssize_t read_unless_stopped_blocked(char* buffer, std::size_t size,
                                             const sigset_t& waiting_mask) {
    while (!stop_requested()) {
      pollfd input{STDIN_FILENO, POLLIN, 0};
      if (::ppoll(&input, 1, nullptr, &waiting_mask) < 0) {
        if (errno == EINTR) continue;
        return -1;
      }
      const ssize_t n = ::read(STDIN_FILENO, buffer, size);
      if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
      return n;
    }
    return -1;
  }

  ssize_t read_unless_stopped() {
    sigset_t stops, previous;
    sigemptyset(&stops);
    for (int signo : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&stops, signo);
    ::pthread_sigmask(SIG_BLOCK, &stops, &previous);
    const ssize_t n = read_unless_stopped_blocked(buffer_, sizeof buffer_, previous);
    ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return n;
  }

  char buffer_[4096];
};

}  // namespace

void guard_console_input() {
  // Never destroyed, like the output buffers (console.cc).
  static StdinBuffer* const in = new StdinBuffer;
  std::cin.rdbuf(in);
}

}  // namespace tessera_plus
