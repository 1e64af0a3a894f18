// The rollback record that makes an in-place update of a file atomic. Before a commit changes the
// file (but for hiding its signature, in the same step), the bytes it will overwrite (its first 8,
// the HDF5 signature, always among them) and the file's old size are written beside it, with a
// checksum, and made durable; the record is removed once the new content is durable. A complete
// record found later means a commit was interrupted: putting the saved bytes back restores the old
// file exactly. An incomplete record (short, or a bad checksum) means the file was never touched
// but for its hidden signature (signature_guard.h).
//
// A record is the file's when the inode (any inode, for a hidden file), the file's size and its
// first 512 bytes (with the saved bytes put back) say so; the device number is kept but not
// compared, as a file system can come back under another one after a reboot. When in doubt
// recovery rolls back: a half-applied file kept is wrong data, an old file put back only costs the
// update.
//
// Layout, little-endian:
//   0  "TPRB"            4  u32 version (1)
//   8  u64 device       16  u64 inode          (the file the record belongs to; see above)
//  24  u64 old size     32  u64 new size       40  u64 lowest size the commit cuts the file to
//  48  u32 CRC-32C of the first min(old size, 512) bytes of the old file
//  52  u32 range count  56  u64 saved bytes in all ranges
//  64  ranges: u64 offset, u64 length, then the old bytes
// end  u32 CRC-32C of everything before it
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "tessera_plus/h5/journal_io.h"

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

struct RollbackRecord {
  FileIdentity identity;
  std::uint64_t old_size = 0;
  std::uint64_t new_size = 0;
  std::uint64_t cut_size = 0;
  std::uint32_t header_crc = 0;
  std::vector<SavedRange> ranges;
};

std::uint32_t crc32c(std::span<const std::byte> data, std::uint32_t crc = 0);

// Where the record of `file_path` lives: beside it, so that it shares its directory's fsync.
std::string rollback_path(const std::string& file_path);

std::vector<std::byte> encode(const RollbackRecord& record);
// The record in `bytes`, or nothing when they are short, damaged or of another format.
std::optional<RollbackRecord> decode(std::span<const std::byte> bytes);

enum class Recovery {
  kNone,                 // no record
  kRolledBack,           // a complete record was applied: the file is its old self again
  kDiscardedIncomplete,  // the commit never reached the file
  kDiscardedStale,       // the record belongs to another file (other inode, or other content)
  kShown,                // no record, but a commit's hidden signature: the file is whole, shown
};

// Applies or discards the record of `path`, whose open descriptor `fd` has write access and the
// exclusive lock, or shows the file again when a commit hid it and left no record. Returns 0 or the
// errno of a failure; a failed rollback leaves the record in place for the next attempt.
int recover(int fd, const std::string& path, JournalIo& io, Recovery* outcome);

// Writes the saved ranges back and restores the old size, then makes it durable and removes the
// record. Used both by recovery and by a commit that fails half-way.
int roll_back(int fd, const std::string& path, const RollbackRecord& record, JournalIo& io);

}  // namespace tessera_plus::h5
