#include "tessera_plus/base/logger.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include <fmt/format.h>

#include "tessera_plus/base/datetime_func.h"

namespace tessera_plus {
namespace {

void write_all(int fd, const std::string& text) {
  const char* p = text.data();
  std::size_t left = text.size();
  while (left > 0) {
    ssize_t n = ::write(fd, p, left);
    if (n <= 0) return;  // a log that cannot be written must not take the update down with it
    p += n;
    left -= static_cast<std::size_t>(n);
  }
}

std::string timestamp() {
  DateTime t = now();
  auto ms = (t.time_since_epoch().count() / 1000) % 1000;
  auto since_midnight = t - std::chrono::floor<std::chrono::days>(t);
  std::chrono::hh_mm_ss<std::chrono::microseconds> hms(since_midnight);
  return fmt::format("{} {:02d}:{:02d}:{:02d}.{:03d}", format_dashed(date_of(t)),
                     hms.hours().count(), hms.minutes().count(), hms.seconds().count(), ms);
}

}  // namespace

std::string system_log::file_path() {
  if (const char* p = std::getenv("TESSERA_LOG_FILE"); p && *p) return p;
  const char* home = std::getenv("HOME");
  return std::string(home && *home ? home : "/tmp") + "/.tessera/logs/tessera_plus.log";
}

namespace {

void write_line(std::string_view level, std::string_view message) {
  std::string line = fmt::format("{} {} {}\n", timestamp(), level, message);
  write_all(STDERR_FILENO, line);
  std::filesystem::path path = system_log::file_path();
  std::error_code ec;
  std::filesystem::create_directories(path.parent_path(), ec);
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return;
  write_all(fd, line);
  ::close(fd);
}

}  // namespace

void system_log::error(std::string_view message) { write_line("ERROR", message); }

bool system_log::debug_enabled() {
  const char* level = std::getenv("TESSERA_LOG_LEVEL");
  return level && std::string_view(level) == "debug";
}

void system_log::debug(std::string_view message) {
  if (debug_enabled()) write_line("DEBUG", message);
}

}  // namespace tessera_plus
