// The console a run talks to: standard output for what it says, standard error for its progress
// bars. A console can go away under a run (a closed descriptor, a reader that exited early, a full
// disk under a redirection), and the run must go on without it. A write here never throws: once a
// write to a stream fails, the stream is gone for the rest of the process. Later writes to it are
// skipped, its descriptor is pointed at /dev/null so that no other writer (a library's own
// message, a worker forked later) fails on it, and the log says so once.
#pragma once

#include <cstdio>
#include <string_view>

namespace tessera_plus {

// Writes `text` to `stream` and flushes it, unless the stream is gone. Never throws.
void console_write(std::FILE* stream, std::string_view text) noexcept;
// Writes `text` into `stream`'s buffer, or skips it once the stream is gone. Never throws.
void console_put(std::FILE* stream, std::string_view text) noexcept;
// Flushes `stream`'s buffer, or skips it once the stream is gone. Never throws.
void console_flush(std::FILE* stream) noexcept;
// A line of the run's account of itself (what it starts, what it did) on standard output, left out
// when the run is quiet: TESSERA_QUIET=1, which --quiet sets for the run and its workers, so that
// a night with nothing to report prints nothing (the log keeps the summary). Failures, warnings,
// questions and errors do not go through here. Never throws.
void console_say(std::string_view line) noexcept;
bool console_quiet() noexcept;

// Whether a write to `stream` has failed (its error indicator is set).
bool console_gone(std::FILE* stream) noexcept;

// For the program, before anything is written: SIGPIPE is ignored (a reader that exits early
// must not end the run), standard descriptors closed at the start are opened on /dev/null (so
// that no file the run opens takes their number and receives console output), and std::cout and
// std::cerr write through the functions above.
void guard_console();

}  // namespace tessera_plus
