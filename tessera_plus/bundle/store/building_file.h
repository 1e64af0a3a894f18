// Files built under a temporary name and renamed into place when complete, so that a run killed
// half-way never leaves a half-built instrument file behind.
#pragma once

#include <filesystem>
#include <string>

namespace tessera_plus::bundle {

// The name a file is built under in `dir`: hidden and not ending in ".h5", so no scan takes it for
// an instrument file, and naming the building process, so that two processes never share one.
// `file_name` is the final name inside `dir`.
std::filesystem::path building_name(const std::filesystem::path& dir, const std::string& file_name);

// Removes what killed builds of `file_name` left in `dir`. A build is abandoned when no process
// holds the file open for writing: HDF5 keeps an exclusive lock on a file it writes, so a lock
// that can be taken means its builder is gone (this survives process-id reuse).
void remove_abandoned_builds(const std::filesystem::path& dir, const std::string& file_name);

}  // namespace tessera_plus::bundle
