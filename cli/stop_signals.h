// How the program stops on SIGINT, SIGTERM and SIGHUP: the first one asks the run to stop
// (base/stop_request.h), which hands out no more work, lets what is in flight finish and ends
// with one line on standard error and the exit status 128 + the signal's number; a second one ends
// the process at once, its workers with it, leaving any commit in flight to the journal.
#pragma once

#include <string>

namespace tessera_plus::cli {

// Leaves alone a signal the program inherited as ignored (nohup, a background job).
void install_stop_handlers();

// The console line of a stopped run: "已中断（SIGINT）：" and `what`, what the run had done and
// what is left.
std::string stop_line(int signo, const std::string& what);

// `what` for a run stopped before its end, when its command has not said more.
inline constexpr const char* kStoppedRestUnchanged = "其余未改动；再次运行即可继续";
// `what` for a run whose work was all done when the signal came.
inline constexpr const char* kStoppedAfterTheEnd = "信号到达时本次运行已结束";

}  // namespace tessera_plus::cli
