#include "cli/environment_check.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <initializer_list>
#include <string>
#include <string_view>

#include <fmt/format.h>

#include "tessera_plus/base/datetime_func.h"
#include "tessera_plus/base/errors.h"
#include "tessera_plus/base/logger.h"
#include "tessera_plus/market/retrying_backend.h"

namespace tessera_plus::cli {
namespace {

std::string env(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

// Empty counts as unset, as everywhere the program reads its environment.
void require_one_of(const char* name, std::initializer_list<std::string_view> known) {
  const std::string value = env(name);
  if (value.empty()) return;
  std::string listed;
  for (std::string_view k : known) {
    if (value == k) return;
    listed += listed.empty() ? "" : ", ";
    listed += k;
  }
  throw ArgumentError(fmt::format("{}='{}' is not one of {}", name, value, listed));
}

void require_now() {
  const std::string value = env("TESSERA_NOW");
  if (value.empty()) return;
  try {
    parse_datetime(value);
  } catch (const ValueError&) {
    ::unsetenv("TESSERA_NOW");
    throw ArgumentError(fmt::format(
        "TESSERA_NOW='{}' is not a time YYYY-MM-DD HH:MM:SS[.ffffff] (Beijing time)", value));
  }
}

void require_log_max_bytes() {
  const std::string value = env("TESSERA_LOG_MAX_BYTES");
  if (value.empty()) return;
  char* end = nullptr;
  errno = 0;
  const unsigned long long bytes = std::strtoull(value.c_str(), &end, 10);
  if (value.find_first_not_of("0123456789") != std::string::npos || *end != '\0' ||
      errno == ERANGE || bytes == 0) {
    throw ArgumentError(fmt::format(
        "TESSERA_LOG_MAX_BYTES='{}' is not a whole number of bytes of 1 or more", value));
  }
}

// 0 when this user may append to the log at `path` (creating it and its directories), else the
// errno that says why not. Nothing is created: a run that logs nothing leaves no file.
int log_write_error(const std::filesystem::path& path) {
  namespace fs = std::filesystem;
  std::error_code ec;
  if (fs::exists(path, ec)) return ::access(path.c_str(), W_OK) == 0 ? 0 : errno;
  fs::path existing = path.parent_path();
  while (!existing.empty() && !fs::exists(existing, ec)) existing = existing.parent_path();
  if (existing.empty()) existing = ".";
  if (!fs::is_directory(existing, ec)) return ENOTDIR;
  return ::access(existing.c_str(), W_OK | X_OK) == 0 ? 0 : errno;
}

void require_client_settings() {
  require_one_of("TALLOW_SOURCE", {"sim", "python"});
  try {
    tallow::RetryPolicy::from_environment();
  } catch (const ValueError& e) {
    throw ArgumentError(e.what());
  }
}

}  // namespace

void require_valid_environment() {
  require_now();
  require_one_of("TESSERA_LOG_LEVEL", {"debug", "info", "warn", "warning", "error"});
  require_log_max_bytes();
  require_one_of("TESSERA_LOG_ECHO", {"0", "1"});
  require_one_of("TESSERA_PROGRESS", {"0", "1", "events"});
  require_client_settings();
}

void warn_of_unwritable_log() {
  const std::string path = system_log::file_path();
  if (path.empty()) return;
  const int error = log_write_error(path);
  if (error == 0) return;
  const std::string line = fmt::format(
      "tessera-plus: warning: the log {} cannot be written ({}); this run is not logged (set "
      "TESSERA_LOG_FILE to a file this user may write)",
      path, std::strerror(error));
  std::fflush(stdout);
  std::fprintf(stderr, "%s\n", line.c_str());
}

}  // namespace tessera_plus::cli
