#include "cli/run_log.h"

#include <cstdlib>
#include <filesystem>

#include <fmt/format.h>

#include "cli/command.h"
#include "tessera_plus/base/datetime_func.h"
#include "tessera_plus/base/logger.h"
#include "tessera_plus/base/version.h"
#include "tessera_plus/bundle/store/bundle_layout.h"

namespace tessera_plus::cli {
namespace {

// The command line as a shell would take it back: arguments with blanks or quotes in quotes.
std::string command_line(int argc, char** argv) {
  std::string text = "tessera-plus";
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    const bool plain = !arg.empty() && arg.find_first_of(" \t\n'\"\\$") == std::string_view::npos;
    if (plain) {
      text += fmt::format(" {}", arg);
    } else {
      std::string quoted;
      for (char c : arg) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
      text += fmt::format(" '{}'", quoted);
    }
  }
  return text;
}

std::string now_text() {
  const DateTime t = now();
  const auto since_midnight = t - std::chrono::floor<std::chrono::days>(t);
  const std::chrono::hh_mm_ss<std::chrono::seconds> hms(
      std::chrono::floor<std::chrono::seconds>(since_midnight));
  return fmt::format("{} {:02d}:{:02d}:{:02d}", format_dashed(date_of(t)), hms.hours().count(),
                     hms.minutes().count(), hms.seconds().count());
}

std::string bundle_text(const std::string& root) {
  if (root.empty()) return "none";
  std::error_code ec;
  const std::filesystem::path absolute = std::filesystem::absolute(root, ec);
  return bundle::bundle_dir(ec ? std::filesystem::path(root) : absolute)
      .lexically_normal()
      .string();
}

}  // namespace

std::string version_text() {
  return fmt::format("tessera-plus {} (commit {})", project_version(), build_commit());
}

std::string parsed_bundle_root(const CLI::App& command) {
  const CLI::Option* option = command.get_option_no_throw("--data-bundle-path");
  if (option != nullptr && option->count() > 0) return option->results().front();
  // `check minbar -d PATH`: the kind of data parses the options that follow it.
  for (const CLI::App* kind : command.get_subcommands()) {
    if (kind->parsed()) return parsed_bundle_root(*kind);
  }
  return default_bundle_root();
}

void log_run_start(int argc, char** argv, const std::string& root) {
  std::error_code ec;
  if (system_log::file_path().empty() && !root.empty() && std::filesystem::is_directory(root, ec)) {
    ::setenv("TESSERA_LOG_FILE", (std::filesystem::path(root) / "logs/tessera_plus.log").c_str(),
             1);
  }
  system_log::rotate();
  system_log::info(fmt::format("start: {}; command: {}; bundle: {}; now: {}", version_text(),
                               command_line(argc, argv), bundle_text(root), now_text()));
}

void log_shown_error(std::string_view line) { system_log::record(log_level::error, line); }

void log_run_end(int status) { system_log::info(fmt::format("end: exit status {}", status)); }

}  // namespace tessera_plus::cli
