// Standard input as the program's questions read it. The stop handlers restart interrupted system
// calls (so that a stop is noticed where work is handed out), which would leave a read waiting
// for an answer through a Ctrl-C; a read through this buffer gives up as soon as a stop is
// requested (base/stop_request.h), so that the question's caller can end the run at once.
#pragma once

namespace tessera_plus {

// For the program, before any question: std::cin reads standard input through a buffer whose
// read ends, as at the end of input, once a stop is requested. The caller tells the two apart
// with stop_requested().
void guard_console_input();

}  // namespace tessera_plus
