// Filling a bundle with the sample bundle, downloaded from the sample server or taken from a copy
// the user already has.
#pragma once

#include <optional>
#include <string>

#include "tessera_plus/bundle/update/sample_install.h"

namespace tessera_plus::bundle {

// Installs the sample archive "twbundle_sample.tar.bz2" into `data_bundle_path`/bundle, creating
// that directory if needed, through install_sample_archive (staged, checked, then moved in; see
// there for what an archive may hold and for `limits`). With a non-empty `file_path` the archive is
// that local file, which is kept; a missing file or one with another name is reported on standard
// output and nothing is unpacked. Otherwise the archive is downloaded from the sample server
// (proxy: TESSERA_PROXY, or none) into a fresh private temporary file, which is deleted afterwards
// on every path. `sample` changes nothing, whatever its value: there is one sample archive, so it
// has nothing to choose; front ends pass it, so the signature keeps it.
//
// Throws OSError when the directory cannot be created, the request or download fails or stops
// early, or unpacking fails; KeyError / ValueError for a missing / non-numeric content-length;
// ValueError for a refused archive member or a limit reached. Any failure before the files are
// moved in leaves the bundle's files as they were.
void download_simple_bundle(const std::string& data_bundle_path, bool sample,
                            const std::optional<std::string>& file_path = std::nullopt,
                            const SampleLimits& limits = {});

}  // namespace tessera_plus::bundle
