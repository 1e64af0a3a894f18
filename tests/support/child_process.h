// A piece of a test run in a forked child: for what must not touch the test process (dropped
// privileges, resource limits) or must be seen from across a fork (shared memory, inherited
// state).
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <type_traits>

namespace tessera_plus::testing {

// The exit code of a forked child that runs `body`: what `body` returns when that is an int, 0 or
// 1 for a bool true or false, 0 when it returns nothing. 255 when the child cannot be forked,
// `body` throws, or the child does not exit by itself (a signal). The child never returns into
// the test.
template <typename Body>
int exit_code_in_child(Body body) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    int code = 255;
    try {
      using Result = std::invoke_result_t<Body&>;
      if constexpr (std::is_void_v<Result>) {
        body();
        code = 0;
      } else if constexpr (std::is_same_v<Result, bool>) {
        code = body() ? 0 : 1;
      } else {
        code = body();
      }
    } catch (...) {
    }
    ::_exit(code);
  }
  if (pid < 0) return 255;
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 255;
}

}  // namespace tessera_plus::testing
