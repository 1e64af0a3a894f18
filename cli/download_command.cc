// `tessera-plus download-sample [-d PATH] [--file PATH]`: fills the bundle with the sample bundle,
// downloaded from the sample server or unpacked from a local twbundle_sample.tar.bz2.
#include <memory>
#include <string>

#include "cli/bundle_dir.h"
#include "cli/command.h"
#include "cli/help_text.h"
#include "cli/option_checks.h"
#include "cli/run_lock.h"
#include "tessera_plus/base/interrupted.h"
#include "tessera_plus/bundle/update/sample_download.h"

namespace tessera_plus::cli {
namespace {

struct DownloadOptions {
  std::string data_bundle_path = default_bundle_root();
  std::string file;  // empty: download
  bundle::SampleLimits limits;
  double wait_seconds = 0;  // for another run's lock on the bundle
};

Command setup_download(CLI::App& main) {
  auto options = std::make_shared<DownloadOptions>();
  CLI::App* app =
      main.add_subcommand("download-sample", "unpack the sample bundle into the bundle");
  app->add_option("-d,--data-bundle-path", options->data_bundle_path,
                  "the bundle root (holding bundle/)")
      ->capture_default_str();
  app->add_option("--file", options->file,
                  "a local twbundle_sample.tar.bz2 to unpack instead of downloading");
  app->add_option("--max-unpacked-bytes", options->limits.max_unpacked_bytes,
                  "most bytes the archive may unpack to (default: what the free space allows)")
      ->check(whole_at_least(1));
  app->add_option("--max-members", options->limits.max_members, "most members the archive may hold")
      ->capture_default_str()
      ->check(whole_at_least(1));
  app->add_option("--max-path-length", options->limits.max_path_length,
                  "longest member name, in bytes")
      ->capture_default_str()
      ->check(whole_at_least(1));
  add_wait_option(app, options->wait_seconds);
  app->footer(render_footer(
      {.statuses =
           "0 on success; 1 when the download or the unpacking failed or another run held the "
           "bundle; 2 on bad usage (also a root that is a file or whose parent does not exist, a "
           "bad value in the environment, or no -d without HOME or TESSERA_BUNDLE_ROOT); 130, 143 "
           "or 129 when SIGINT, SIGTERM or SIGHUP stopped it. Errors are one line on standard "
           "error and in the log.",
       .examples = {"tessera-plus download-sample -d ~/bundle",
                    "tessera-plus download-sample -d ~/bundle --file ~/twbundle_sample.tar.bz2"},
       .environment = environment_lines({"TESSERA_BUNDLE_ROOT", "TESSERA_SAMPLE_SERVER",
                                         "TESSERA_PROXY", "TESSERA_LOG_FILE"})}));
  return Command{app, [options] {
                   require_root_not_a_file(options->data_bundle_path);
                   require_creatable_root(options->data_bundle_path);
                   const std::optional<bundle::BundleLock> lock =
                       lock_bundle_or_exit(options->data_bundle_path, options->wait_seconds,
                                           bundle::MissingBundle::kCreate);
                   try {
                     bundle::download_simple_bundle(options->data_bundle_path, true, options->file,
                                                    options->limits);
                   } catch (Interrupted& e) {
                     e.set_done("样例数据未安装，数据包未改动；再次运行即可继续");
                     throw;
                   }
                   return kExitOk;
                 }};
}

const RegisterCommand reg{setup_download};

}  // namespace
}  // namespace tessera_plus::cli
