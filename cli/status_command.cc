// `tessera-plus status [-d PATH] [--json]`: what the bundle holds and how stale it is, per class
// directory, from file sizes and `index` datasets alone.
#include <iostream>
#include <memory>
#include <string>

#include "cli/bundle_dir.h"
#include "cli/command.h"
#include "cli/help_text.h"
#include "cli/reports.h"
#include "tessera_plus/bundle/status/bundle_status.h"

namespace tessera_plus::cli {
namespace {

struct StatusOptions {
  std::string data_bundle_path = default_bundle_root();
  bool json = false;
};

Command setup_status(CLI::App& main) {
  auto o = std::make_shared<StatusOptions>();
  CLI::App* app = main.add_subcommand(
      "status", "show what each class directory holds, how stale it is and what looks broken");
  app->add_option("-d,--data-bundle-path", o->data_bundle_path, "the bundle root (holding bundle/)")
      ->capture_default_str();
  app->add_flag("--json", o->json, "print one JSON document on standard output");
  app->footer(render_footer(
      {.statuses =
           "0 when nothing is questioned; 1 when a file is questioned or left unreadable by an "
           "interrupted update that this user cannot finish, ROOT/bundle does not exist or an "
           "error stopped the survey; 2 on bad usage (also a root that is a file, a bad value in "
           "the environment, or no -d without HOME or TESSERA_BUNDLE_ROOT). Files behind the "
           "calendar or with missing days do not count: suspensions and a run before the day's "
           "data explain them. Errors are one line on standard error and in the log.",
       .examples = {"tessera-plus status -d ~/bundle",
                    "tessera-plus status -d ~/bundle --json > status.json"},
       .environment =
           environment_lines({"TESSERA_BUNDLE_ROOT", "TESSERA_NOW", "TESSERA_LOG_FILE"})}));
  return Command{
      app, [o] {
        require_bundle_dir(o->data_bundle_path);
        const bundle::BundleStatus status = bundle::bundle_status(o->data_bundle_path);
        std::cout << (o->json ? render_status_report(status) : render_status_text(status))
                  << std::flush;
        for (const bundle::ClassStatus& c : status.classes) {
          if (!c.questioned.empty()) return kExitFailed;
        }
        for (const bundle::UnfinishedFile& f : status.unfinished) {
          if (!f.recovered) return kExitFailed;
        }
        return kExitOk;
      }};
}

const RegisterCommand reg{setup_status};

}  // namespace
}  // namespace tessera_plus::cli
