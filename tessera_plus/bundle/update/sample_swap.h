// Moving a staged sample bundle into the bundle directory. Internal to the sample install.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tessera_plus/base/io_recorder.h"
#include "tessera_plus/bundle/update/sample_stage.h"

namespace tessera_plus::bundle {

// Checks every staged member against what is on disk under `bundle_dir`, then, only if all pass,
// renames the staged files into place one by one and creates the missing directories.
//
// Existing directories and symbolic links (the user's own, to a directory or a file, possibly on
// another disk) are followed and never replaced; a file that lands on another file system is
// copied beside its destination and renamed there. Existing directories keep their mode and time.
// A member whose type clashes with the disk (a directory or a FIFO where a file goes, a file where
// a directory goes, a link that leads nowhere) is refused with ValueError before anything is moved;
// so is a set of files that would leave less than `margin` free on another file system (OSError).
// So is a file on disk that this user may not write (PermissionError). A file replaced by a rename
// takes the member's mode; one copied to another file system keeps the mode of the file it
// replaces. A failure while moving leaves every file either old or new; the renames already done
// stay. `recorder` (crash-state tests only) is told the renames and the syncs.
void move_staged_members(const std::string& staging, const std::string& bundle_dir,
                         const std::vector<StagedMember>& members, std::uint64_t margin,
                         IoRecorder* recorder = nullptr);

}  // namespace tessera_plus::bundle
