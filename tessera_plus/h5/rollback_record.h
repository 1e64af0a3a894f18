// The rollback record that makes an in-place update of a file atomic. Before a commit changes the
// file (but for hiding its signature, in the same step), the bytes it will overwrite (its first 8,
// the HDF5 signature, always among them) and the file's old size are written beside it, with a
// checksum, and made durable; the record is removed once the new content is durable. A complete
// record found later means a commit was interrupted: putting the saved bytes back restores the old
// file exactly. An incomplete record (short, or a bad checksum) means the file was never touched
// but for its hidden signature (signature_guard.h).
//
// A record is applied only to the state it was made for: each commit draws a random id, written
// both into the record and into the file's hiding signature, so only a file hidden by that very
// commit (or by the rollback of it) is rolled back, whatever its inode, device or size. A file that
// shows an HDF5 signature is whole by the commit's order (its new signature is written only after
// its new bytes are durable), so a record beside it is never applied: it is a commit that finished
// but for removing its record (its new bytes are there), one cut before the hiding signature landed
// (its old bytes are there), or somebody else's file, a restored backup say. The first two are
// dropped; the third is set aside under set_aside_path(), kept for whoever wants to look, and
// logged. Records made before commits drew ids (version 1) keep the identity test they were made
// with: the inode, the size window and the file's first 512 bytes.
//
// Layout, little-endian:
//   0  "TPRB"            4  u32 version (2; 1 before commits drew ids)
//   8  u64 device       16  u64 inode          (the file the record was made for, kept as a hint)
//  24  u64 old size     32  u64 new size       40  u64 lowest size the commit cuts the file to
//  48  u32 CRC-32C of the first min(old size, 512) bytes of the old file
//  52  u32 range count  56  u64 saved bytes in all ranges
// version 2 only:
//  64  u32 commit id    68  u32 CRC-32C of the new bytes past the signature, extent by extent
//  72  u32 extent count 76  u32 zero
//  80  extents: u64 offset, u64 length (of the new bytes, within the new size)
// then ranges: u64 offset, u64 length, then the old bytes
// end  u32 CRC-32C of everything before it
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "tessera_plus/h5/journal_io.h"
#include "tessera_plus/h5/signature_guard.h"

namespace tessera_plus::h5 {

inline constexpr std::size_t kIdentityHeaderBytes = 512;

struct FileIdentity {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  bool operator==(const FileIdentity&) const = default;
};

struct SavedRange {
  std::uint64_t offset = 0;
  std::vector<std::byte> bytes;
};

struct NewExtent {
  std::uint64_t offset = 0;
  std::uint64_t length = 0;
};

struct RollbackRecord {
  std::uint32_t version = 2;  // as decoded; encode() writes 1 (for tests) or the current one
  std::uint32_t commit_id = 0;
  FileIdentity identity;
  std::uint64_t old_size = 0;
  std::uint64_t new_size = 0;
  std::uint64_t cut_size = 0;
  std::uint32_t header_crc = 0;
  std::uint32_t new_crc = 0;
  std::vector<NewExtent> new_extents;
  std::vector<SavedRange> ranges;
};

// A random commit id, never kLegacyCommitId.
std::uint32_t draw_commit_id();

std::uint32_t crc32c(std::span<const std::byte> data, std::uint32_t crc = 0);

// Where the record of `file_path` lives: beside it, so that it shares its directory's fsync.
std::string rollback_path(const std::string& file_path);
// Where a complete record that recovery would not apply is kept: it ends in ".rollback" too, so
// listings that skip records skip it, and names no file of the bundle.
std::string set_aside_path(const std::string& file_path);

std::vector<std::byte> encode(const RollbackRecord& record);
// The record in `bytes`, or nothing when they are short, damaged or of another format.
std::optional<RollbackRecord> decode(std::span<const std::byte> bytes);

enum class Recovery {
  kNone,                 // no record
  kRolledBack,           // a complete record was applied: the file is its old self again
  kDiscardedIncomplete,  // the commit never reached the file
  kDiscardedFinished,    // the file is whole and shown: the commit ended (or never began) but
                         // for removing its record
  kSetAside,             // the record is not the file's: set aside, the file kept (and shown)
  kShown,                // no record, but a commit's hidden signature: the file is whole, shown
};

// Applies, drops or sets aside the record of `path`, whose open descriptor `fd` has write access
// and the exclusive lock, and shows the file again when a commit hid it and left no record of its
// own. Returns 0 or the errno of a failure; a failed rollback leaves the record in place for the
// next attempt.
int recover(int fd, const std::string& path, JournalIo& io, Recovery* outcome);

// Writes the saved ranges back and restores the old size, then makes it durable and removes the
// record. Used both by recovery and by a commit that fails half-way.
int roll_back(int fd, const std::string& path, const RollbackRecord& record, JournalIo& io);

}  // namespace tessera_plus::h5
