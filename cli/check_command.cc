// `tessera-plus check minbar|tick [-d PATH] [-j N]`: verifies the bundle's minute-bar or tick files
// and, on the user's yes read from standard input, deletes the broken ones.
#include <algorithm>
#include <iostream>
#include <memory>
#include <string>
#include <thread>

#include "cli/command.h"
#include "tessera_plus/bundle/check/minbar_checker.h"
#include "tessera_plus/bundle/check/tick_checker.h"

namespace tessera_plus::cli {
namespace {

Command setup_check(CLI::App& main) {
  CLI::App* check = main.add_subcommand("check", "verify minute-bar or tick files of the bundle");
  check->require_subcommand(1);
  auto data_bundle_path = std::make_shared<std::string>(default_bundle_root());
  check->add_option("-d,--data-bundle-path", *data_bundle_path, "the bundle root (holding bundle/)")
      ->capture_default_str();
  // One worker process per file being read; the default keeps every core busy.
  auto jobs =
      std::make_shared<int>(static_cast<int>(std::max(1u, std::thread::hardware_concurrency())));
  check->add_option("-j,--jobs", *jobs, "files read at once, each in its own worker process")
      ->check(CLI::PositiveNumber)
      ->capture_default_str();
  // The options may also follow the kind of data: `check minbar -d PATH`.
  CLI::App* minbar = check->add_subcommand("minbar", "check the minute-bar files")->fallthrough();
  CLI::App* tick = check->add_subcommand("tick", "check the tick files")->fallthrough();
  return Command{check, [data_bundle_path, jobs, minbar, tick] {
                   if (minbar->parsed()) {
                     bundle::check_min_bar_data(*data_bundle_path, std::cin, std::cout, *jobs);
                   }
                   if (tick->parsed()) {
                     bundle::check_tick_data(*data_bundle_path, std::cin, std::cout, *jobs);
                   }
                   return kExitOk;
                 }};
}

const RegisterCommand reg{setup_check};

}  // namespace
}  // namespace tessera_plus::cli
