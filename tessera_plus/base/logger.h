// The system log, where writers report the failures of their files. Each message becomes one line
//   2024-06-28 18:00:00.123 ERROR <message>
// (or DEBUG, for the lines that are off unless asked for)
// written to standard error and appended to the log file. The file is $TESSERA_LOG_FILE, or
// ~/.tessera/logs/tessera_plus.log when that is unset. Each line goes out in one write() on a
// descriptor opened with O_APPEND, so lines from many worker processes never interleave.
#pragma once

#include <string>
#include <string_view>

namespace tessera_plus {

struct system_log {
  static void error(std::string_view message);
  // Written only when TESSERA_LOG_LEVEL is "debug" (read at each call); the line says DEBUG.
  static void debug(std::string_view message);
  static bool debug_enabled();
  // Where lines are appended, as resolved from the environment now.
  static std::string file_path();
};

}  // namespace tessera_plus
