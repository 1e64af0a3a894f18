#include "tessera_plus/base/logger.h"

#include <unistd.h>

#include <charconv>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <memory>

#include <spdlog/logger.h>
#include <spdlog/pattern_formatter.h>

#include "tessera_plus/base/datetime_func.h"
#include "tessera_plus/base/log_file.h"

namespace tessera_plus {
namespace {

std::string env(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

// The level's name in capitals, the form a grep for "ERROR" expects.
class level_name final : public spdlog::custom_flag_formatter {
 public:
  void format(const spdlog::details::log_msg& msg, const std::tm&,
              spdlog::memory_buf_t& dest) override {
    const std::string_view name = msg.level == spdlog::level::err    ? "ERROR"
                                  : msg.level == spdlog::level::warn ? "WARN"
                                  : msg.level == spdlog::level::info ? "INFO"
                                                                     : "DEBUG";
    dest.append(name.data(), name.data() + name.size());
  }
  std::unique_ptr<custom_flag_formatter> clone() const override {
    return std::make_unique<level_name>();
  }
};

// The line's time is the host's wall clock at the program's instant (TESSERA_NOW, exchange time,
// fixes it), so the log reads alongside the host's other logs; formatted as UTC, nothing is shifted
// again.
std::unique_ptr<spdlog::formatter> line_format() {
  auto format = std::make_unique<spdlog::pattern_formatter>(spdlog::pattern_time_type::utc, "\n");
  format->add_flag<level_name>('*').set_pattern("%Y-%m-%d %H:%M:%S.%e %* %v");
  return format;
}

spdlog::level::level_enum to_spdlog(log_level level) {
  switch (level) {
    case log_level::debug:
      return spdlog::level::debug;
    case log_level::info:
      return spdlog::level::info;
    case log_level::warn:
      return spdlog::level::warn;
    case log_level::error:
      break;
  }
  return spdlog::level::err;
}

log_level threshold() {
  const std::string name = env("TESSERA_LOG_LEVEL");
  if (name == "debug") return log_level::debug;
  if (name == "warn" || name == "warning") return log_level::warn;
  if (name == "error") return log_level::error;
  return log_level::info;
}

// The line's time: local_now(), or the host's own clock when TESSERA_NOW does not parse, so that
// the line reporting that (or any line written before the program refuses it) is still written.
std::chrono::microseconds line_time() {
  try {
    return local_now().time_since_epoch();
  } catch (const std::exception&) {
    const auto instant =
        std::chrono::floor<std::chrono::microseconds>(std::chrono::system_clock::now());
    const std::time_t whole =
        std::chrono::system_clock::to_time_t(std::chrono::floor<std::chrono::seconds>(instant));
    std::tm local{};
    localtime_r(&whole, &local);
    return std::chrono::seconds(timegm(&local)) +
           (instant - std::chrono::floor<std::chrono::seconds>(instant));
  }
}

// A logger of its own for each line: nothing is kept between lines, so a fork, a rotation or a
// changed environment never meets a stale descriptor. Lines are rare (failures, run start and end).
void emit(std::shared_ptr<append_line_sink> sink, log_level level, std::string_view message) {
  spdlog::logger logger("tessera_plus", std::move(sink));
  logger.set_formatter(line_format());
  logger.set_level(spdlog::level::trace);
  logger.set_error_handler([](const std::string&) {});  // a log must not stop a run
  const auto since_epoch = line_time();
  logger.log(spdlog::log_clock::time_point(
                 std::chrono::duration_cast<spdlog::log_clock::duration>(since_epoch)),
             spdlog::source_loc{}, to_spdlog(level),
             spdlog::string_view_t(message.data(), message.size()));
}

// Standard error gets the first line of a message; what follows (an error's text, an HDF5 error
// stack) is for the log.
void write_line(log_level level, std::string_view message, bool to_stderr) {
  if (level != log_level::error && level < threshold()) return;
  if (to_stderr && env("TESSERA_LOG_ECHO") != "0") {
    emit(std::make_shared<append_line_sink>(STDERR_FILENO), level,
         message.substr(0, message.find('\n')));
  }
  if (std::string path = system_log::file_path(); !path.empty()) {
    emit(std::make_shared<append_line_sink>(std::move(path)), level, message);
  }
}

}  // namespace

std::string system_log::file_path() {
  if (std::string path = env("TESSERA_LOG_FILE"); !path.empty()) return path;
  if (std::string state = env("XDG_STATE_HOME"); !state.empty() && state.front() == '/') {
    return state + "/tessera_plus/tessera_plus.log";
  }
  if (std::string home = env("HOME"); !home.empty()) {
    return home + "/.local/state/tessera_plus/tessera_plus.log";
  }
  return "";
}

void system_log::error(std::string_view message) { write_line(log_level::error, message, true); }
void system_log::warn(std::string_view message) { write_line(log_level::warn, message, true); }
void system_log::info(std::string_view message) { write_line(log_level::info, message, false); }

bool system_log::debug_enabled() { return threshold() == log_level::debug; }

void system_log::debug(std::string_view message) { write_line(log_level::debug, message, true); }

void system_log::record(log_level level, std::string_view message) {
  write_line(level, message, false);
}

void system_log::rotate() {
  const std::string path = file_path();
  if (path.empty()) return;
  std::uintmax_t max_bytes = kDefaultMaxBytes;
  const std::string text = env("TESSERA_LOG_MAX_BYTES");
  std::uintmax_t parsed = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), parsed);
  if (!text.empty() && ec == std::errc() && end == text.data() + text.size() && parsed > 0) {
    max_bytes = parsed;
  }
  rotate_log_file(path, max_bytes, kKeptLogs);
}

}  // namespace tessera_plus
