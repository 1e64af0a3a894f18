#include "cli/stop_signals.h"

#include <csignal>

#include "tessera_plus/base/interrupted.h"
#include "tessera_plus/base/stop_request.h"
#include "tessera_plus/base/worker_registry.h"

namespace tessera_plus::cli {
namespace {

extern "C" void on_stop_signal(int signo) {
  if (!stop_requested()) {
    request_stop(signo);
    return;
  }
  // The second signal: no worker left writing, then the default action, which ends the process
  // by this signal once the handler returns. A commit cut short is the journal's to undo.
  kill_workers_now();
  std::signal(signo, SIG_DFL);
  std::raise(signo);
}

}  // namespace

void install_stop_handlers() {
  struct sigaction action {};
  action.sa_handler = on_stop_signal;
  sigemptyset(&action.sa_mask);
  // Restarted system calls: a stop is noticed where work is handed out, not as a failed read.
  action.sa_flags = SA_RESTART;
  for (int signo : {SIGINT, SIGTERM, SIGHUP}) {
    sigaddset(&action.sa_mask, signo);
  }
  for (int signo : {SIGINT, SIGTERM, SIGHUP}) {
    // A signal inherited as ignored stays ignored: nohup's SIGHUP, and the SIGINT a shell without
    // job control sets for a background job (`cmd &`), which a Ctrl-C in the foreground must
    // not reach.
    struct sigaction inherited {};
    if (::sigaction(signo, nullptr, &inherited) == 0 && inherited.sa_handler == SIG_IGN) continue;
    ::sigaction(signo, &action, nullptr);
  }
}

std::string stop_line(int signo, const std::string& what) {
  return "已中断（" + signal_name(signo) + "）：" + what;
}

}  // namespace tessera_plus::cli
