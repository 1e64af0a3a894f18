// What every run of the program leaves in the system log, whatever the command: a start line
// (version, commit, the command line, the bundle, the program's "now"), the one-line errors it
// showed on standard error, and an end line with the exit status. Only the program's first
// process writes these, and it rotates a grown log before its start line.
#pragma once

#include <CLI/CLI.hpp>

#include <string>
#include <string_view>

namespace tessera_plus::cli {

// "tessera-plus 1.0.0 (commit 642b63456ccb)", for --version and the start line.
std::string version_text();

// The bundle root the parsed subcommand works on: its -d, else the default (empty when none).
std::string parsed_bundle_root(const CLI::App& command);

// Rotates the log when it has grown too big, then writes the start line. Without a state
// directory (no HOME) the log goes beside the bundle, in ROOT/logs, when the root exists.
void log_run_start(int argc, char** argv, const std::string& root);

// An error line the console has shown already, to the log only.
void log_shown_error(std::string_view line);

void log_run_end(int status);

}  // namespace tessera_plus::cli
