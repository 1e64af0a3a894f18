// Deleting instrument files.
#pragma once

#include <string>

namespace tessera_plus::bundle {

// Deletes `h5_file`. A missing file is fine; any other failure (a directory, no permission) is
// the operating system's error.
void remove_h5(const std::string& h5_file);

}  // namespace tessera_plus::bundle
