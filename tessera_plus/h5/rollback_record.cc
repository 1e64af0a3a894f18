#include "tessera_plus/h5/rollback_record.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstring>

#include <fmt/format.h>

#include "tessera_plus/base/logger.h"
#include "tessera_plus/h5/signature_guard.h"

namespace tessera_plus::h5 {
namespace {

constexpr std::uint32_t kVersion = 2;
constexpr std::size_t kFixedBytesV1 = 64;
constexpr std::size_t kFixedBytes = 80;
constexpr std::size_t kRangeHeaderBytes = 16;
constexpr std::size_t kExtentBytes = 16;
constexpr std::size_t kTrailerBytes = 4;

constexpr std::array<std::uint32_t, 256> make_crc_table() {
  std::array<std::uint32_t, 256> table{};
  for (std::uint32_t i = 0; i < 256; ++i) {
    std::uint32_t c = i;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ 0x82F63B78u : c >> 1;
    table[i] = c;
  }
  return table;
}
constexpr auto kCrcTable = make_crc_table();

void put(std::vector<std::byte>& out, std::uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<std::byte>(value >> (8 * i)));
}

std::uint64_t get(std::span<const std::byte> in, std::size_t at, int bytes) {
  std::uint64_t value = 0;
  for (int i = 0; i < bytes; ++i) value |= std::to_integer<std::uint64_t>(in[at + i]) << (8 * i);
  return value;
}

// Reads the whole file at `path` into `bytes`; 0, ENOENT when there is none, or the errno.
int read_whole(const std::string& path, std::vector<std::byte>* bytes) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno;
  struct stat st;
  int error = ::fstat(fd, &st) == 0 ? 0 : errno;
  if (error == 0) {
    bytes->resize(static_cast<std::size_t>(st.st_size));
    ssize_t n = pread_full(fd, bytes->data(), bytes->size(), 0);
    if (n < 0) error = errno;
    bytes->resize(n < 0 ? 0 : static_cast<std::size_t>(n));
  }
  ::close(fd);
  return error;
}

// The saved bytes are the old file's: a range past its end is not of a commit of this driver.
bool ranges_within_old_size(const RollbackRecord& record) {
  for (const SavedRange& range : record.ranges) {
    if (range.offset > record.old_size || range.bytes.size() > record.old_size - range.offset) {
      return false;
    }
  }
  return true;
}

// The identity test of records made before commits drew ids: the same inode (or a hidden file,
// whatever copied it since), a size where an interrupted commit can have left it, and the first
// bytes with the saved ones put back equal to the old header. The device number is not compared,
// as a file system can come back under another one after a reboot. A hidden file may be longer
// than both sizes: a commit that grows a file writes its new tail before the barrier that makes the
// previous commit's record removal durable (journal_driver.cc).
bool belongs_by_header(int fd, const RollbackRecord& record) {
  struct stat st;
  if (::fstat(fd, &st) != 0) return false;
  if (static_cast<std::uint64_t>(st.st_ino) != record.identity.inode && !is_hidden(fd)) {
    return false;
  }
  auto size = static_cast<std::uint64_t>(st.st_size);
  std::uint64_t low = std::min(record.cut_size, record.old_size);
  std::uint64_t high = std::max(record.old_size, record.new_size);
  if (size < low || (size > high && !is_hidden(fd))) return false;
  std::size_t header = std::min<std::uint64_t>(record.old_size, kIdentityHeaderBytes);
  std::vector<std::byte> bytes(header);
  if (pread_full(fd, bytes.data(), header, 0) < 0) return false;
  for (const SavedRange& range : record.ranges) {
    for (std::size_t i = 0; i < range.bytes.size() && range.offset + i < header; ++i) {
      bytes[range.offset + i] = range.bytes[i];
    }
  }
  return crc32c(bytes) == record.header_crc;
}

}  // namespace

std::uint32_t crc32c(std::span<const std::byte> data, std::uint32_t crc) {
  crc = ~crc;
  for (std::byte b : data)
    crc = kCrcTable[(crc ^ std::to_integer<std::uint32_t>(b)) & 0xFF] ^ (crc >> 8);
  return ~crc;
}

std::string rollback_path(const std::string& file_path) { return file_path + ".rollback"; }

std::string set_aside_path(const std::string& file_path) {
  return file_path + ".set-aside.rollback";
}

std::uint32_t draw_commit_id() {
  std::uint32_t id = kLegacyCommitId;
  while (id == kLegacyCommitId) {
    // getrandom never fails for four bytes once the pool is ready; a short answer draws again.
    if (::getrandom(&id, sizeof id, 0) != static_cast<ssize_t>(sizeof id)) id = kLegacyCommitId;
  }
  return id;
}

std::vector<std::byte> encode(const RollbackRecord& record) {
  std::vector<std::byte> out;
  std::uint64_t saved = 0;
  for (const SavedRange& r : record.ranges) saved += r.bytes.size();
  out.reserve(kFixedBytes + record.new_extents.size() * kExtentBytes +
              record.ranges.size() * kRangeHeaderBytes + saved + kTrailerBytes);
  // Version 1 is written only to test how records of older commits are recovered.
  const bool v1 = record.version == 1;
  for (char c : {'T', 'P', 'R', 'B'}) out.push_back(static_cast<std::byte>(c));
  put(out, v1 ? 1 : kVersion, 4);
  put(out, record.identity.device, 8);
  put(out, record.identity.inode, 8);
  put(out, record.old_size, 8);
  put(out, record.new_size, 8);
  put(out, record.cut_size, 8);
  put(out, record.header_crc, 4);
  put(out, record.ranges.size(), 4);
  put(out, saved, 8);
  if (!v1) {
    put(out, record.commit_id, 4);
    put(out, record.new_crc, 4);
    put(out, record.new_extents.size(), 4);
    put(out, 0, 4);
    for (const NewExtent& e : record.new_extents) {
      put(out, e.offset, 8);
      put(out, e.length, 8);
    }
  }
  for (const SavedRange& r : record.ranges) {
    put(out, r.offset, 8);
    put(out, r.bytes.size(), 8);
    out.insert(out.end(), r.bytes.begin(), r.bytes.end());
  }
  put(out, crc32c(out), 4);
  return out;
}

std::optional<RollbackRecord> decode(std::span<const std::byte> in) {
  if (in.size() < kFixedBytesV1 + kTrailerBytes) return std::nullopt;
  if (std::memcmp(in.data(), "TPRB", 4) != 0) return std::nullopt;
  RollbackRecord record;
  record.version = static_cast<std::uint32_t>(get(in, 4, 4));
  if (record.version != 1 && record.version != kVersion) return std::nullopt;
  const std::size_t fixed = record.version == 1 ? kFixedBytesV1 : kFixedBytes;
  if (in.size() < fixed + kTrailerBytes) return std::nullopt;
  std::size_t body = in.size() - kTrailerBytes;
  if (crc32c(in.first(body)) != get(in, body, 4)) return std::nullopt;
  const std::uint64_t count = get(in, 52, 4);
  const std::uint64_t saved = get(in, 56, 8);
  const std::uint64_t extents = record.version == 1 ? 0 : get(in, 72, 4);
  if (saved > body || count > body / kRangeHeaderBytes || extents > body / kExtentBytes)
    return std::nullopt;
  if (body != fixed + extents * kExtentBytes + count * kRangeHeaderBytes + saved)
    return std::nullopt;
  record.identity = {get(in, 8, 8), get(in, 16, 8)};
  record.old_size = get(in, 24, 8);
  record.new_size = get(in, 32, 8);
  record.cut_size = get(in, 40, 8);
  record.header_crc = static_cast<std::uint32_t>(get(in, 48, 4));
  if (record.version != 1) {
    record.commit_id = static_cast<std::uint32_t>(get(in, 64, 4));
    record.new_crc = static_cast<std::uint32_t>(get(in, 68, 4));
  }
  std::size_t at = fixed;
  for (std::uint64_t i = 0; i < extents; ++i, at += kExtentBytes) {
    record.new_extents.push_back({get(in, at, 8), get(in, at + 8, 8)});
  }
  for (std::uint64_t i = 0; i < count; ++i) {
    SavedRange range;
    range.offset = get(in, at, 8);
    std::uint64_t length = get(in, at + 8, 8);
    at += kRangeHeaderBytes;
    if (length > body - at) return std::nullopt;
    range.bytes.assign(in.begin() + at, in.begin() + at + length);
    at += length;
    record.ranges.push_back(std::move(range));
  }
  return record;
}

namespace {

// The CRC-32C of the file's bytes in `extents` past its signature; `readable` false when the file
// is too short for them.
std::uint32_t crc_past_signature(int fd, std::span<const NewExtent> extents, bool* readable) {
  std::uint32_t crc = 0;
  std::vector<std::byte> bytes;
  *readable = true;
  for (const NewExtent& e : extents) {
    const std::uint64_t from = std::max<std::uint64_t>(e.offset, kSignatureBytes);
    if (from >= e.offset + e.length) continue;
    bytes.resize(e.offset + e.length - from);
    if (pread_full(fd, bytes.data(), bytes.size(), static_cast<off_t>(from)) !=
        static_cast<ssize_t>(bytes.size())) {
      *readable = false;
      return 0;
    }
    crc = crc32c(bytes, crc);
  }
  return crc;
}

// The old file's first bytes: the saved ones over what the file holds now. A commit saves them
// before it hides the file, so the hiding signature is never taken for the old one.
int old_signature(int fd, const RollbackRecord& record, Signature* signature) {
  signature->fill(std::byte{0});
  if (pread_full(fd, signature->data(), kSignatureBytes, 0) < 0) return errno;
  for (const SavedRange& r : record.ranges) {
    for (std::size_t i = 0; i < r.bytes.size() && r.offset + i < kSignatureBytes; ++i) {
      (*signature)[r.offset + i] = r.bytes[i];
    }
  }
  return 0;
}

std::uint64_t size_of(int fd) {
  struct stat st;
  return ::fstat(fd, &st) == 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
}

// Whether the file holds the commit's old bytes past the signature: the commit was cut before it
// wrote anything but its hiding signature and its tail past the old end.
bool holds_old(int fd, const RollbackRecord& record) {
  if (size_of(fd) < record.old_size) return false;
  std::vector<std::byte> bytes;
  for (const SavedRange& r : record.ranges) {
    const std::uint64_t skip =
        r.offset < kSignatureBytes
            ? std::min<std::uint64_t>(kSignatureBytes - r.offset, r.bytes.size())
            : 0;
    bytes.resize(r.bytes.size() - skip);
    if (pread_full(fd, bytes.data(), bytes.size(), static_cast<off_t>(r.offset + skip)) !=
            static_cast<ssize_t>(bytes.size()) ||
        !std::equal(bytes.begin(), bytes.end(), r.bytes.begin() + static_cast<long>(skip))) {
      return false;
    }
  }
  return true;
}

// Whether the file holds every new byte of the commit past the signature (and perhaps the tail of
// the next commit, cut off when that one ends).
bool holds_new(int fd, const RollbackRecord& record) {
  if (record.version == 1 || size_of(fd) < record.new_size) return false;
  bool readable = false;
  const std::uint32_t crc = crc_past_signature(fd, record.new_extents, &readable);
  return readable && crc == record.new_crc;
}

// Whether a record made before commits saved the signature: the file was never hidden then, so
// only the old identity test tells a half-applied file.
bool saved_no_signature(const RollbackRecord& record) {
  return record.version == 1 &&
         (record.ranges.empty() || record.ranges.front().offset >= kSignatureBytes);
}

// What recovery does with a complete record.
enum class Verdict { kApply, kDrop, kSetAside };

Verdict judge(int fd, const RollbackRecord& record) {
  if (!ranges_within_old_size(record)) return Verdict::kSetAside;
  const std::optional<std::uint32_t> hidden = hidden_commit(fd);
  if (saved_no_signature(record)) {
    return belongs_by_header(fd, record) ? Verdict::kApply : Verdict::kSetAside;
  }
  if (hidden) {
    const bool ours = record.version == 1
                          ? *hidden == kLegacyCommitId && belongs_by_header(fd, record)
                          : *hidden == record.commit_id;
    if (ours) return Verdict::kApply;
  }
  return holds_old(fd, record) || holds_new(fd, record) ? Verdict::kDrop : Verdict::kSetAside;
}

// The hiding signature a rollback of `record` writes: its commit's own, so that a rollback cut
// short is finished by the next recovery like the commit it undoes.
Signature hiding_of(const RollbackRecord& record) {
  return hidden_signature(record.version == 1 ? kLegacyCommitId : record.commit_id);
}

// Keeps a record that recovery will not apply where no recovery looks, and says so in the log.
int set_aside(const std::string& path, JournalIo& io) {
  if (int e = io.rename(rollback_path(path), set_aside_path(path))) return e;
  system_log::error(
      fmt::format("更新 {} 时发现不属于该文件现状的回滚记录，文件保持原样，记录已另存为 {}", path,
                  set_aside_path(path)));
  return io.fsync_directory_of(path);
}

}  // namespace

int roll_back(int fd, const std::string& path, const RollbackRecord& record, JournalIo& io) {
  // Plain readers are kept out until every old byte is back, as during a commit: the file may be
  // whole and new now, and a power cut half-way through would otherwise show them a mixture.
  const bool guarded = record.old_size >= kSignatureBytes;
  Signature signature{};
  if (guarded) {
    if (int e = old_signature(fd, record, &signature)) return e;
    if (int e = hide_from_readers(fd, hiding_of(record), io)) return e;
  }
  for (const SavedRange& r : record.ranges) {
    int e = guarded
                ? pwrite_past_signature(fd, r.bytes.data(), r.bytes.size(), r.offset, io)
                : io.pwrite_all(fd, r.bytes.data(), r.bytes.size(), static_cast<off_t>(r.offset));
    if (e) return e;
  }
  if (int e = io.ftruncate(fd, static_cast<off_t>(record.old_size))) return e;
  if (int e = io.fsync(fd)) return e;
  if (guarded) {
    if (int e = show_to_readers(fd, signature, io)) return e;
  }
  // The old content must be durable before the record that could restore it goes.
  if (int e = io.unlink(rollback_path(path))) return e;
  return io.fsync_directory_of(path);
}

int recover(int fd, const std::string& path, JournalIo& io, Recovery* outcome) {
  *outcome = Recovery::kNone;
  std::vector<std::byte> bytes;
  int error = read_whole(rollback_path(path), &bytes);
  if (error && error != ENOENT) return error;
  const bool present = error == 0;
  std::optional<RollbackRecord> record;
  if (present) record = decode(bytes);
  const Verdict verdict = record ? judge(fd, *record) : Verdict::kDrop;
  if (verdict == Verdict::kApply) {
    *outcome = Recovery::kRolledBack;
    return roll_back(fd, path, *record, io);
  }
  // Only the record a file was hidden by can have mixed its bytes: that record is durable before
  // the commit writes anything past the signature and its tail. So a hidden file beside no record,
  // an incomplete one or another commit's is whole, old or new, and only its signature is missing.
  // The record goes first: shown beside a record, the file would be judged by it again.
  if (present) {
    *outcome = !record                     ? Recovery::kDiscardedIncomplete
               : verdict == Verdict::kDrop ? Recovery::kDiscardedFinished
                                           : Recovery::kSetAside;
    int e = *outcome == Recovery::kSetAside ? set_aside(path, io) : io.unlink(rollback_path(path));
    if (e) return e;
    if (*outcome != Recovery::kSetAside) {
      if (int e2 = io.fsync_directory_of(path)) return e2;
    }
  }
  if (is_hidden(fd)) {
    if (!present) *outcome = Recovery::kShown;
    if (int e = show_to_readers(fd, kHdf5Signature, io)) return e;
  }
  return 0;
}

}  // namespace tessera_plus::h5
