// Unpacking the sample archive, so that a crafted archive cannot write outside the bundle.
#pragma once

#include <string>

namespace tessera_plus::bundle {

// Unpacks the bzip2-compressed tar archive at `archive_path` into the existing directory `dest`.
// Files, directories and links are written as stored, with their permissions and modification
// times; only set-user-id and set-group-id bits of files are dropped.
//
// Nothing may land outside `dest`. A member with an absolute name or a ".." component, a link whose
// target leaves `dest`, a device node, or a member whose path runs through a symbolic link on disk
// stops the extraction with ValueError naming the member; members unpacked before it stay. An
// unreadable or corrupt archive and a failed write throw OSError.
void _extract_tar_bz2(const std::string& archive_path, const std::string& dest);

}  // namespace tessera_plus::bundle
