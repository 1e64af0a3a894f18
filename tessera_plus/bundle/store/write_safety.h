// What a writer checks before it changes a bundle file, so that a write never lands outside the
// bundle: a file that is a symbolic link, a device or a pipe, a member that is a link to elsewhere,
// and a dataset whose values live in other files are refused before anything is written.
//
// Symbolic links of directories are followed (a class directory moved to another disk and linked
// back keeps working); a link in place of a file is not, whatever it points to.
#pragma once

#include <string>

#include "tessera_plus/h5/dataset.h"
#include "tessera_plus/h5/file.h"

namespace tessera_plus::bundle {

// Nothing when `path` is missing (a writer creates it) or an ordinary file; ValueError otherwise.
void require_regular_file(const std::string& path);

// Opens the member `name` of `file` for writing: ValueError when it is a soft or external link or
// a dataset with external storage.
h5::Dataset open_for_write(h5::File& file, const std::string& name);

// ValueError when the existing member `name` is a soft or external link.
void require_hard_link(const h5::File& file, const std::string& name);

}  // namespace tessera_plus::bundle
