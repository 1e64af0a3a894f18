// The smart update: refresh base data and extend every minute-bar and tick file a bundle holds.
#pragma once

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "tessera_plus/bundle/update/update_request.h"

namespace tessera_plus::bundle {

// Uses the client as the caller initialised it. Whether Beijing-exchange data is wanted comes
// from the bundle's own instrument list. The files that a check deleted (deleted_files.h) count as
// held: they are re-created from their instruments' first dates. Files that readers hold are
// waited for as UpdateRequest::lock_wait says. True unless an update that ran reported failure.
// The order book ids whose minute-bar (or, with `tick`, tick) files a smart update of the bundle
// directory `bundle` brings up to date: those of the files stored there and those a check deleted.
std::vector<std::string> smart_update_ids(const std::filesystem::path& bundle, bool tick);

bool update_bundle_from_exist_file(int concurrency, const std::string& data_bundle_path,
                                   std::chrono::duration<double> lock_wait = kDefaultLockWait,
                                   int recheck_days = kDefaultRecheckDays);

}  // namespace tessera_plus::bundle
