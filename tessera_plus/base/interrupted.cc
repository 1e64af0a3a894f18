#include "tessera_plus/base/interrupted.h"

#include <csignal>

#include <fmt/format.h>

#include "tessera_plus/base/stop_request.h"

namespace tessera_plus {

Interrupted::Interrupted(int signo)
    : ExitRequest(128 + (signo == 0 ? SIGINT : signo)),
      signal_(signo == 0 ? SIGINT : signo),
      what_("interrupted by " + signal_name(signal_)) {}

std::string signal_name(int signo) {
  switch (signo) {
    case SIGINT:
      return "SIGINT";
    case SIGTERM:
      return "SIGTERM";
    case SIGHUP:
      return "SIGHUP";
    default:
      return fmt::format("signal {}", signo);
  }
}

void throw_if_stopped() {
  if (stop_requested()) throw Interrupted(stop_signal());
}

}  // namespace tessera_plus
