// What keeps plain HDF5 readers (h5py included) away from a file while a commit or a rollback has
// only partly reached the disk. HDF5 finds a file's superblock by its 8-byte signature, looked for
// at offset 0 and then at 512, 1024, 2048 and on; the bundle's files have no user block, so theirs
// is at 0 and no other of those offsets holds it. While the signature is replaced by
// kUnfinishedSignature a reader's open fails ("file signature not found") instead of reading new
// metadata that points at data not yet on disk, or old metadata over new data.
//
// The order that makes this hold across a power cut: the hiding signature durable, then every other
// byte of the change, a barrier, then the file's own signature. Writes to one file may reach the
// disk in any order between its barriers, so each step needs the barrier before it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "tessera_plus/h5/journal_io.h"

namespace tessera_plus::h5 {

inline constexpr std::size_t kSignatureBytes = 8;
using Signature = std::array<std::byte, kSignatureBytes>;

// HDF5's own signature, "\211HDF\r\n\032\n".
inline constexpr Signature kHdf5Signature = {std::byte{0x89}, std::byte{'H'},  std::byte{'D'},
                                             std::byte{'F'},  std::byte{'\r'}, std::byte{'\n'},
                                             std::byte{0x1a}, std::byte{'\n'}};
// What a file begins with while a commit or a rollback has only partly reached it:
// "\211TPJ" and the commit's id, four bytes that tie the hidden file to the one rollback record
// made for it (rollback_record.h). No HDF5 library takes it for a superblock. Commits made before
// files carried an id wrote kUnfinishedSignature, "\211TPJ\r\n\032\n", whose last four bytes are
// kLegacyCommitId; a new commit never draws that id.
inline constexpr std::size_t kHiddenMarkBytes = 4;
inline constexpr Signature kUnfinishedSignature = {
    std::byte{0x89}, std::byte{'T'},  std::byte{'P'},  std::byte{'J'},
    std::byte{'\r'}, std::byte{'\n'}, std::byte{0x1a}, std::byte{'\n'}};
inline constexpr std::uint32_t kLegacyCommitId = 0x0a1a0a0du;

// The hiding signature of the commit `commit_id`.
Signature hidden_signature(std::uint32_t commit_id);

// Writes `hiding` (a hidden_signature()) at offset 0 of `fd` and makes it durable. Returns 0 or an
// errno.
int hide_from_readers(int fd, const Signature& hiding, JournalIo& io);

// Whether show_to_readers waits for the signature to be durable.
enum class Barrier { kSync, kNone };

// Writes `signature` (the file's own first bytes) at offset 0, once the rest of the file is
// durable, and with Barrier::kSync makes it durable too. Returns 0 or an errno.
int show_to_readers(int fd, const Signature& signature, JournalIo& io,
                    Barrier barrier = Barrier::kSync);

// Writes the part of `size` bytes meant for `offset` that lies past the signature: the signature
// itself is written by show_to_readers only. Returns 0 or an errno.
int pwrite_past_signature(int fd, const std::byte* data, std::size_t size, std::uint64_t offset,
                          JournalIo& io);

// The commit id of a hidden file: its first bytes are a hiding signature, so a commit or rollback
// of it was cut short. Nothing when they are not, or cannot be read.
std::optional<std::uint32_t> hidden_commit(int fd);
bool is_hidden(int fd);
bool is_hidden(const std::string& path);

}  // namespace tessera_plus::h5
