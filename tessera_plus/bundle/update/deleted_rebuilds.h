// Rebuilding, within an update, the instrument files that a check deleted (deleted_files.h): the
// writers re-create a missing file from the instrument's first date as for a new instrument; this
// says which recorded files an update covers, and forgets them once they are back.
#pragma once

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "tessera_plus/bundle/store/bundle_layout.h"

namespace tessera_plus::bundle {

// The order book ids of the deleted minute-bar (or, with `tick`, tick) files recorded in `bundle`,
// for an update that finds its instruments by the files present and so would never see them.
std::vector<std::string> deleted_instrument_ids(const std::filesystem::path& bundle, bool tick);

// The recorded deleted files that one run of the parallel updater covers: those of its kind in the
// bundle above its directory `path` (bundle/h5 or bundle/ticks) whose instruments are among its
// `ids`. Main process only.
class DeletedFileRebuilds {
 public:
  // Reads the record before any writer runs and notes which of those files are missing now.
  DeletedFileRebuilds(const std::string& path, bool tick, const std::set<std::string>& ids);

  // After the writers: forgets the covered entries whose files exist now (rebuilt, or put back by
  // hand) and keeps the rest for the next update. When any covered file was missing, prints one
  // line saying how many of them were rebuilt and how many were not.
  void finish() const;

 private:
  bool back(const BundleFile& file) const;

  std::filesystem::path bundle_;
  bool tick_;
  std::vector<BundleFile> missing_;
  std::set<std::string> present_;  // covered entries whose files are there already
};

}  // namespace tessera_plus::bundle
