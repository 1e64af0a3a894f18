// What the program's help teaches beyond the options CLI11 lists: each command's exit statuses,
// examples and the environment it reads, in one shape; and a "did you mean" for a mistyped
// subcommand or option.
#pragma once

#include <CLI/CLI.hpp>

#include <string>
#include <vector>

namespace tessera_plus::cli {

struct HelpFooter {
  std::string statuses;                  // "0 on success; 1 when ...", after "Exit status: "
  std::vector<std::string> examples;     // command lines, "tessera-plus ..."
  std::vector<std::string> environment;  // "TESSERA_LOG_FILE: the log (...)"
};

// The footer of a --help: the exit statuses, the examples, the environment variables.
std::string render_footer(const HelpFooter& footer);

// "NAME: what it sets" for each variable named, from the one table of the variables the program
// reads.
std::vector<std::string> environment_lines(const std::vector<std::string>& names);

// "; did you mean 'update'?" for the first argument on the command line that names no
// subcommand or option of `app` but comes within two edits of one; empty when none does.
std::string did_you_mean(const CLI::App& app, int argc, const char* const* argv);

}  // namespace tessera_plus::cli
