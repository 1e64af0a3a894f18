// The checks a command makes of its bundle and output paths before any work, so that a mistake
// ends the run at once with one line naming it instead of after the work or once per directory.
#pragma once

#include <string>

namespace tessera_plus::cli {

// Throws an ArgumentError (exit status 2) when ROOT exists and is not a directory, whatever the
// command: no command can work on it.
void require_root_not_a_file(const std::string& root);

// For the commands that may create the root (update, download-sample): throws an ArgumentError
// (exit status 2) when neither ROOT nor its parent directory exists. Only the last level is
// created, as mkdir does, so that a typo in -d is not taken for a new bundle.
void require_creatable_root(const std::string& root);

// Throws an ArgumentError (exit status 2) when ROOT is a file (require_root_not_a_file), an
// OSError (exit status 1) when ROOT/bundle is not a directory. When ROOT itself looks
// like a bundle (the common mix-up of root and bundle), the line suggests its parent.
void require_bundle_dir(const std::string& root);

// Throws an ArgumentError (exit status 2) when `path`'s directory does not exist or is not a
// directory, a PermissionError (exit status 1) when this user cannot create files in it.
void require_writable_output(const std::string& path);

// Throws a PermissionError (exit status 1) naming the first directory of an existing bundle that
// this user cannot write: every file an update writes is created in one of them.
void require_writable_bundle(const std::string& root);

// When this user cannot write some of the bundle's files, says so in one line on standard error
// and in the log before any work, and keeps the failures that follow, one per file, for the log
// and the run's summary (TESSERA_LOG_ECHO=0 for this run and its workers).
void warn_of_unwritable_files(const std::string& root);

}  // namespace tessera_plus::cli
