// Whole-file replacement that never leaves a half-written file under the real name: the content
// goes to a temporary file in the same directory, which is synced and renamed into place.
#pragma once

#include <functional>
#include <string>

namespace tessera_plus::tessera {

// Writes `bytes` to `path` atomically.
void write_file_atomically(const std::string& path, const std::string& bytes);

// Calls `build(temp_path)` to create the file under a temporary name next to `path`, then renames
// it into place. The temporary file is removed when `build` throws.
void replace_file_atomically(const std::string& path,
                             const std::function<void(const std::string&)>& build);

}  // namespace tessera_plus::tessera
