// The bundle's record of the instrument files that a check deleted, so that the next update
// rebuilds them instead of losing the instrument for good. It is a text file in the bundle
// directory (deleted_files_record): a comment line, then one path relative to the bundle directory
// per line ("h5/equities/000001.XSHE.h5", "ticks/000001.XSHE.h5"), sorted. Every change replaces it
// whole (write_file_atomically), so a kill leaves the old record or the new one.
//
// Main process only. Each change reads the record just before it replaces it, so a change made in
// between by another run is kept; two runs that replace it at the same instant are not kept apart
// here.
#pragma once

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "tessera_plus/bundle/store/bundle_layout.h"

namespace tessera_plus::bundle {

// Adds every instrument file among `files` (full paths, as a check found them) to the record of its
// bundle, merged with the entries there already. Paths that are no bundle's instrument file
// (locate_instrument_file), or whose name holds a line break, are left out: no update could rebuild
// them from a line of the record. Call it before deleting, so that no file is ever gone
// unrecorded. OSError when a record cannot be read or replaced.
void record_deleted_files(const std::vector<std::string>& files);

// The entries of the record of `bundle`, sorted by their relative paths; none without a record.
// Lines that name no instrument file of the bundle are skipped. OSError when the record exists but
// cannot be read.
std::vector<BundleFile> read_deleted_files(const std::filesystem::path& bundle);

// Removes `relatives` (BundleFile::relative) from the record of `bundle`, read anew so that entries
// added since read_deleted_files stay; a record left empty is removed. OSError when it cannot be
// read, replaced or removed.
void forget_deleted_files(const std::filesystem::path& bundle,
                          const std::set<std::string>& relatives);

}  // namespace tessera_plus::bundle
