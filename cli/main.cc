// tessera-plus: the command-line front end of the bundle module. It parses, dispatches to one
// handler per subcommand and maps the outcome to an exit status; the work lives in the library.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

#include "cli/command.h"
#include "tessera_plus/base/errors.h"

namespace tessera_plus::cli {

std::vector<CommandSetup>& command_setups() {
  static std::vector<CommandSetup> setups;
  return setups;
}

std::string default_bundle_root() {
  if (const char* root = std::getenv("TESSERA_BUNDLE_ROOT"); root && *root) return root;
  const char* home = std::getenv("HOME");
  return std::string(home && *home ? home : ".") + "/.tessera";
}

namespace {

// One line: the first line of the message. HDF5 error stacks follow on later lines.
void print_error(const char* what) {
  std::string text(what);
  text = text.substr(0, text.find('\n'));
  std::fflush(stdout);
  std::fprintf(stderr, "tessera-plus: error: %s\n", text.c_str());
}

int run(int argc, char** argv) {
  CLI::App app{"tessera-plus: keeps a tessera data bundle up to date and sound"};
  app.require_subcommand(0, 1);
  // A usage error is one line: what is wrong and where to look.
  app.failure_message([](const CLI::App*, const CLI::Error& e) {
    return "tessera-plus: usage error: " + std::string(e.what()) + " (see --help)\n";
  });
  std::vector<Command> commands;
  for (const CommandSetup& setup : command_setups()) {
    commands.push_back(setup(app));
    // Through the environment, so that the bars of forked workers fall silent too. Listed in the
    // help of the command and of each of its own subcommands (`check minbar`).
    std::vector<CLI::App*> apps = commands.back().app->get_subcommands({});
    apps.push_back(commands.back().app);
    for (CLI::App* command_app : apps) {
      command_app->add_flag_callback(
          "--quiet", [] { ::setenv("TESSERA_PROGRESS", "0", 1); },
          "no progress bars on standard error (the same as TESSERA_PROGRESS=0)");
    }
  }
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e) == 0 ? kExitOk : kExitUsage;
  }
  for (const Command& command : commands) {
    if (command.app->parsed()) return command.run();
  }
  std::fputs(app.help().c_str(), stdout);
  return kExitOk;
}

}  // namespace

int main_guarded(int argc, char** argv) {
  try {
    return run(argc, argv);
  } catch (const ExitRequest& e) {
    std::fflush(stdout);
    return e.status();
  } catch (const ArgumentError& e) {
    print_error(e.what());
    return kExitUsage;
  } catch (const std::exception& e) {
    print_error(e.what());
    return kExitFailed;
  }
}

}  // namespace tessera_plus::cli

int main(int argc, char** argv) { return tessera_plus::cli::main_guarded(argc, argv); }
