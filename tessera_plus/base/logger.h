// The system log: what a run did and what went wrong, for the operator who reads it the morning
// after. Each message becomes one line
//   2024-06-28 18:00:00.123 ERROR <message>
// (or WARN, INFO, DEBUG) appended to the log file; the first line of errors, warnings and debug
// lines also goes to standard error unless $TESSERA_LOG_ECHO is "0". The file is $TESSERA_LOG_FILE,
// else $XDG_STATE_HOME/tessera_plus/tessera_plus.log, else
// ~/.local/state/tessera_plus/tessera_plus.log; with none of these set the lines go to standard
// error only. $TESSERA_LOG_LEVEL ("debug", "info", "warn" or "error"; "info" when unset) drops the
// lines below it, errors excepted. Both are read at each line, so forked workers and a changed
// environment agree at once. Lines from many processes never interleave (see log_file.h).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tessera_plus {

enum class log_level { debug, info, warn, error };

struct system_log {
  static void error(std::string_view message);
  static void warn(std::string_view message);
  // The file only: run start and end, and what the console already showed in its own words.
  static void info(std::string_view message);
  // Written only when TESSERA_LOG_LEVEL is "debug".
  static void debug(std::string_view message);
  static bool debug_enabled();
  // To the file only, for a line the caller has already shown on the console itself.
  static void record(log_level level, std::string_view message);
  // Where lines are appended, as resolved from the environment now; empty when nowhere.
  static std::string file_path();
  // Called once at the start of a run by its first process: moves a file grown beyond
  // $TESSERA_LOG_MAX_BYTES (10 MiB when unset) aside as "<file>.1", keeping kKeptLogs old files.
  static void rotate();
  static constexpr int kKeptLogs = 5;
  static constexpr std::uintmax_t kDefaultMaxBytes = 10u << 20;
};

}  // namespace tessera_plus
