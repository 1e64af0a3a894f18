// Power-loss states of a recorded scenario (crash_recorder.h) under a weak per-file model, the
// ALICE research tool's: at every crash point (after each recorded call), each file holds what its
// last fsync or fdatasync made durable plus a subset of its later writes and truncations, taken
// page by page (none, all, every prefix, seeded random subsets), and each create, rename or unlink
// that no fsync of its directory has made durable yet may or may not have happened (every subset of
// a few, else prefixes and seeded random subsets). Each distinct state is rebuilt afresh and
// checked:
//  - before any recovery, every file reads as one of its whole versions (its contents at the
//    recorder's checkpoints, absence included) to a plain HDF5 reader, or fails to open: read in
//    C++ and with h5py wherever its bytes match no version (where they do, it reads as that one);
//  - after the journal's recovery (h5::recover_journal) of every .h5 file, every file is one of
//    its versions byte for byte, or value for value to plain HDF5, and no record is left;
//  - the same again when the file system came back under another device number, for every state
//    that holds a complete rollback record.
// The rebuilt files have new inode numbers; a record's file identity is moved to them (the file
// it belongs to keeps its inode across a reboot), and to another device number for the reboot.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/crash_recorder.h"

namespace tessera_plus::testing {

struct CrashStateCounts {
  int crash_points = 0;
  int states = 0;                     // distinct states rebuilt and checked
  int states_with_record = 0;         // of which hold a complete rollback record
  int wrong_files = 0;                // states with a file neither old nor new after recovery
  int wrong_files_other_device = 0;   // the same after a reboot under another device number
  int wrong_reads = 0;                // states where plain HDF5 (C++) read values of no version
  int reader_crashes = 0;             // plain HDF5 reads (C++) that died on a damaged file
  int h5py_reads = 0;                 // files read with h5py (those whose bytes match no version)
  int h5py_wrong = 0;                 // of which h5py read values of no version
  std::vector<std::string> examples;  // the first few failures of each check, described
  std::string summary(const std::string& scenario) const;
};

// Every how many distinct states one is checked: the environment variable
// TESSERA_CRASH_STATES_STRIDE, else 1, or 8 in an AddressSanitizer build (each check runs HDF5
// and the recovery, which the sanitizer slows several times).
int crash_state_stride();

// `work` is an empty directory for the rebuilt states. `h5py_limit` bounds the files read with
// h5py.
CrashStateCounts check_crash_states(const CrashRecorder& recorder,
                                    const std::filesystem::path& work, unsigned seed,
                                    int h5py_limit = 2000);

}  // namespace tessera_plus::testing
