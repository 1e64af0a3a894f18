// Files that h5py gives a layout pointing outside them (external storage, an external or a soft
// link), for the tests in which a writer must refuse to write through one.
#pragma once

#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace tessera_plus::testing {

// (what, craft) for each way of moving `dataset` of an open h5py file `f` out of its place: its
// values stored in the file `out`, an external link into `out`, a soft link to a copy named
// `spare`.
std::vector<std::pair<std::string, std::string>> outside_layouts(const std::string& dataset,
                                                                 const std::string& spare);

// Runs `craft` with h5py on `path` (as the body of `with h5py.File(path, 'r+') as f:`, with `out`
// naming `outside`), then `write`, which must leave both files with the bytes they had.
void expect_files_kept_after_craft(const std::string& path, const std::string& outside,
                                   const std::string& craft, const std::function<void()>& write);

}  // namespace tessera_plus::testing
