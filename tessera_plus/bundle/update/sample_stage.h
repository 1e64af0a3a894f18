// Unpacking the sample archive into its staging directory, member by member, refusing anything a
// sample bundle has no reason to hold. Internal to the sample install.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tessera_plus/bundle/update/sample_install.h"

namespace tessera_plus::bundle {

// One member as staged. `path` is relative, '/'-separated, without empty, "." or ".." parts.
struct StagedMember {
  std::string path;
  bool directory = false;
  unsigned mode = 0;  // permission bits as stored, without set-id and sticky bits
  std::int64_t mtime = 0;
  std::uint64_t size = 0;
};

// Reads the archive at `archive_path` whole and writes its members under the empty directory
// `staging`, which must be on a file system with room for them: before each member is written, the
// running total of what the members need is checked against the free space found at the start
// (less `limits.free_space_margin`) and against `limits.max_unpacked_bytes`. Returns the members
// in archive order; a name stored twice counts once, the later copy winning as in tar.
//
// Throws ValueError for a refused member or a limit reached, OSError for a reader error, a failed
// or short write, or a member whose data differs in length from its header.
std::vector<StagedMember> stage_archive(const std::string& archive_path, const std::string& staging,
                                        const SampleLimits& limits);

// Free bytes for an unprivileged writer on the file system holding `path`.
std::uint64_t free_bytes(const std::string& path);

}  // namespace tessera_plus::bundle
