// The first check of a command that reads a bundle: its root holds bundle/. A mistyped root then
// ends the command at once with one line naming what is missing, in every front end alike.
#pragma once

#include <string>
#include <string_view>

namespace tessera_plus::bundle {

// Throws an OSError (ENOENT) when ROOT/bundle is not a directory. `option` is how the front end
// names the root (-d for the command line, data_bundle_path= for Python): when ROOT itself looks
// like a bundle (the common mix-up of root and bundle), the line suggests its parent with it.
void require_bundle_dir(const std::string& root, std::string_view option);

}  // namespace tessera_plus::bundle
