// Subcommands register themselves here, one file each, so the front end stays a thin dispatcher.
#pragma once

#include <CLI/CLI.hpp>

#include <functional>
#include <vector>

namespace tessera_plus::cli {

struct Command {
  CLI::App* app;             // the subcommand as added to the main program
  std::function<int()> run;  // runs it after parsing; returns the exit status
};

using CommandSetup = std::function<Command(CLI::App& main)>;

std::vector<CommandSetup>& command_setups();

// Define one at namespace scope in each command's file.
struct RegisterCommand {
  explicit RegisterCommand(CommandSetup setup) { command_setups().push_back(std::move(setup)); }
};

// The bundle root used when -d is not given: $TESSERA_BUNDLE_ROOT, else ~/.tessera; empty when
// neither is set, which the front end refuses as bad usage.
std::string default_bundle_root();

// Exit statuses of the program.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;

// Most worker processes -j may ask for.
inline constexpr int kMaxJobs = 1024;

}  // namespace tessera_plus::cli
