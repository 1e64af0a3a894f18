// Installing the sample bundle from its archive without putting the user's bundle at risk: the
// archive is unpacked into a hidden staging directory, checked whole, and only then moved in.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace tessera_plus::bundle {

// What an archive may ask of the disk. Each limit, when reached, stops the install with a
// ValueError saying which one.
struct SampleLimits {
  // Most bytes all members may unpack to; none: whatever the free space allows.
  std::optional<std::uint64_t> max_unpacked_bytes = std::nullopt;
  std::uint64_t max_members = 1'000'000;
  // Longest member name, in bytes, as the archive spells it.
  std::size_t max_path_length = 1024;
  // Free space that the install leaves untouched on every file system it writes to.
  std::uint64_t free_space_margin = std::uint64_t{16} << 20;
};

// Hidden name, inside the bundle directory, of the staging directory. It begins with a dot, so no
// scan of the bundle takes it for data.
inline constexpr const char* kSampleStagingName = ".tessera_plus-sample-staging";

// Installs the bzip2-compressed tar archive at `archive_path` into the existing directory
// `bundle_dir`, file by file: files the archive does not hold stay as they are.
//
// The archive is unpacked in full into a staging directory inside `bundle_dir` (so on its file
// system), after a free-space check for every member before it is written. It may hold regular
// files and directories only; a member with an absolute name or a ".." component, any link, FIFO,
// device or socket, or a member whose type clashes with what is on disk (a directory where a file
// is, or the reverse) is refused with ValueError naming it, as is an archive beyond a limit. Links
// already in the bundle (a class directory on another disk) are followed, never replaced. Only once
// the whole archive has been read and checked are the staged files renamed into place, one by one.
// On any failure before that, the bundle is exactly as it was; the staging directory is removed
// on every way out, and a leftover of a killed run is removed first. An unreadable or corrupt
// archive and a failed write throw OSError; another install running on the same bundle
// BlockingIOError.
void install_sample_archive(const std::string& archive_path, const std::string& bundle_dir,
                            const SampleLimits& limits = {});

}  // namespace tessera_plus::bundle
