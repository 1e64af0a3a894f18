// tessera-plus: the command-line front end of the bundle module. It parses, dispatches to one
// handler per subcommand and maps the outcome to an exit status; the work lives in the library.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <string>

#include "cli/command.h"
#include "cli/environment_check.h"
#include "cli/help_text.h"
#include "cli/run_lock.h"
#include "cli/run_log.h"
#include "cli/stop_signals.h"
#include "tessera_plus/base/console.h"
#include "tessera_plus/base/console_input.h"
#include "tessera_plus/base/errors.h"
#include "tessera_plus/base/interrupted.h"
#include "tessera_plus/base/stop_request.h"

namespace tessera_plus::cli {

std::vector<CommandSetup>& command_setups() {
  static std::vector<CommandSetup> setups;
  return setups;
}

std::string default_bundle_root() {
  if (const char* root = std::getenv("TESSERA_BUNDLE_ROOT"); root && *root) return root;
  const char* home = std::getenv("HOME");
  return home && *home ? std::string(home) + "/.tessera" : "";
}

namespace {

// One line: the first line of the message. HDF5 error stacks follow on later lines. The log
// gets the same line.
void print_error(const char* what) {
  std::string text(what);
  text = "tessera-plus: error: " + text.substr(0, text.find('\n'));
  std::fflush(stdout);
  std::fprintf(stderr, "%s\n", text.c_str());
  log_shown_error(text);
}

// A usage error is one line: what is wrong, the name nearest a mistyped one, and where to look.
std::string usage_line(const CLI::Error& e, const std::string& hint) {
  return "tessera-plus: usage error: " + std::string(e.what()) + hint + " (see --help)";
}

std::string top_level_footer() {
  return render_footer(
      {.statuses =
           "0 on success; 1 when something failed or was found (see each command's --help); 2 "
           "on bad usage (an unknown option, a bad value, a bad setting in the environment); "
           "129, 130 or 143 when SIGHUP, SIGINT or SIGTERM stopped the run.\n\nLog: every run "
           "appends to $TESSERA_LOG_FILE, else $XDG_STATE_HOME/tessera_plus/tessera_plus.log, "
           "else ~/.local/state/tessera_plus/tessera_plus.log; errors are also one line on "
           "standard error. 'tessera-plus COMMAND --help' lists a command's options.",
       .examples = {"tessera-plus update -d ~/bundle -j 4 --minbar stock --tick 000001.XSHE",
                    "tessera-plus smart-update -d ~/bundle --quiet   # nightly",
                    "tessera-plus status -d ~/bundle"},
       .environment = environment_lines({"TESSERA_BUNDLE_ROOT", "TESSERA_NOW", "TESSERA_LOG_FILE",
                                         "TESSERA_LOG_LEVEL", "TESSERA_LOG_MAX_BYTES",
                                         "TESSERA_LOG_ECHO", "TESSERA_PROGRESS", "TALLOW_SOURCE",
                                         "TALLOW_RETRY_ATTEMPTS, TALLOW_RETRY_MAX_WAIT_S, "
                                         "TALLOW_RATE_LIMIT, TALLOW_REQUESTS"})});
}

// The run proper, between its start line and its end line in the log.
int run_command(const Command& command, int argc, char** argv, bool& started) {
  const std::string root = parsed_bundle_root(*command.app);
  warn_of_unwritable_log();
  log_run_start(argc, argv, root);
  started = true;
  // A bundle quietly made in the working directory would be found by no later run.
  if (root.empty()) {
    throw ArgumentError("no bundle root: HOME is not set; pass -d PATH or set TESSERA_BUNDLE_ROOT");
  }
  return command.run();
}

int run(int argc, char** argv, bool& started) {
  // Named, so that the usage line shows the program rather than the path it was started by.
  CLI::App app{"tessera-plus: keeps a tessera data bundle up to date and sound", "tessera-plus"};
  app.footer(top_level_footer());
  app.require_subcommand(0, 1);
  app.set_version_flag("--version", version_text(),
                       "print the version and the commit it was built from, then exit");
  std::string hint;  // filled once every command is there to be named
  app.failure_message(
      [&hint](const CLI::App*, const CLI::Error& e) { return usage_line(e, hint) + "\n"; });
  std::vector<Command> commands;
  for (const CommandSetup& setup : command_setups()) {
    commands.push_back(setup(app));
    // Through the environment, so that forked workers fall silent too. Listed in the help of the
    // command and of each of its own subcommands (`check minbar`).
    std::vector<CLI::App*> apps = commands.back().app->get_subcommands({});
    apps.push_back(commands.back().app);
    for (CLI::App* command_app : apps) {
      command_app->add_flag_callback(
          "--quiet",
          [] {
            ::setenv("TESSERA_PROGRESS", "0", 1);
            ::setenv("TESSERA_QUIET", "1", 1);
          },
          "print nothing when there is nothing to report: no progress bars, no account of the "
          "work (the log keeps the summary); failures, warnings, questions and errors still "
          "print");
    }
  }
  hint = did_you_mean(app, argc, argv);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() != 0) log_shown_error(usage_line(e, hint));
    return app.exit(e) == 0 ? kExitOk : kExitUsage;
  }
  // After the options, so that --help and --version answer whatever the environment holds.
  require_valid_environment();
  for (const Command& command : commands) {
    if (command.app->parsed()) return run_command(command, argc, argv, started);
  }
  std::fputs(app.help().c_str(), stdout);
  return kExitOk;
}

// A stopped run says so in one line on standard error, as every line that ends a run (and in the
// log), and ends with 128 + the signal's number, also when the signal came after its work was done.
int stopped(int signo, const std::string& what) {
  const std::string line = stop_line(signo, what);
  std::cout << std::flush;  // what the run said before it comes first on a shared terminal
  console_write(stderr, line + "\n");
  log_shown_error(line);
  return Interrupted(signo).status();
}

int run_guarded(int argc, char** argv, bool& started) {
  try {
    const int status = run(argc, argv, started);
    if (stop_requested()) return stopped(stop_signal(), kStoppedAfterTheEnd);
    return status;
  } catch (const Interrupted& e) {
    return stopped(e.signal(), e.done().empty() ? kStoppedRestUnchanged : e.done());
  } catch (const BundleBusy& e) {
    print_error(e.what());
    return e.status();
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

}  // namespace

int main_guarded(int argc, char** argv) {
  guard_console();
  guard_console_input();
  install_stop_handlers();
  bool started = false;
  const int status = run_guarded(argc, argv, started);
  if (started) log_run_end(status);
  return status;
}

}  // namespace tessera_plus::cli

int main(int argc, char** argv) { return tessera_plus::cli::main_guarded(argc, argv); }
