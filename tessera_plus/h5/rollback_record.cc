#include "tessera_plus/h5/rollback_record.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstring>

#include "tessera_plus/h5/signature_guard.h"

namespace tessera_plus::h5 {
namespace {

constexpr std::uint32_t kVersion = 1;
constexpr std::size_t kFixedBytes = 64;
constexpr std::size_t kRangeHeaderBytes = 16;
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

// The file belongs to the record when it is the same inode (or begins with the signature that only
// an unfinished commit leaves, whatever copied it since), its size lies where an interrupted
// commit can have left it, and its first bytes with the saved ones put back are the old header.
// Only what a reboot keeps counts: the device number does not, as a file system can come back under
// another one (LVM, btrfs subvolumes, the order NVMe drives are found in), and discarding the
// record of a half-applied file would keep it half-applied. A file restored from a backup, or
// replaced, fails one of these. A hidden file may be longer than both sizes: a commit that grows a
// file writes its new tail before the barrier that makes the previous commit's record removal
// durable (journal_driver.cc), so that record can come back beside the new file of its own commit
// with the start of the next commit's tail, which the rollback cuts off with the rest.
bool belongs(int fd, const RollbackRecord& record) {
  struct stat st;
  if (::fstat(fd, &st) != 0) return false;
  if (static_cast<std::uint64_t>(st.st_ino) != record.identity.inode && !is_hidden(fd)) {
    return false;
  }
  // The saved bytes are the old file's: a range past its end is not of a commit of this driver.
  for (const SavedRange& range : record.ranges) {
    if (range.offset > record.old_size || range.bytes.size() > record.old_size - range.offset) {
      return false;
    }
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

std::vector<std::byte> encode(const RollbackRecord& record) {
  std::vector<std::byte> out;
  std::uint64_t saved = 0;
  for (const SavedRange& r : record.ranges) saved += r.bytes.size();
  out.reserve(kFixedBytes + record.ranges.size() * kRangeHeaderBytes + saved + kTrailerBytes);
  for (char c : {'T', 'P', 'R', 'B'}) out.push_back(static_cast<std::byte>(c));
  put(out, kVersion, 4);
  put(out, record.identity.device, 8);
  put(out, record.identity.inode, 8);
  put(out, record.old_size, 8);
  put(out, record.new_size, 8);
  put(out, record.cut_size, 8);
  put(out, record.header_crc, 4);
  put(out, record.ranges.size(), 4);
  put(out, saved, 8);
  for (const SavedRange& r : record.ranges) {
    put(out, r.offset, 8);
    put(out, r.bytes.size(), 8);
    out.insert(out.end(), r.bytes.begin(), r.bytes.end());
  }
  put(out, crc32c(out), 4);
  return out;
}

std::optional<RollbackRecord> decode(std::span<const std::byte> in) {
  if (in.size() < kFixedBytes + kTrailerBytes) return std::nullopt;
  if (std::memcmp(in.data(), "TPRB", 4) != 0 || get(in, 4, 4) != kVersion) return std::nullopt;
  std::uint64_t count = get(in, 52, 4);
  std::uint64_t saved = get(in, 56, 8);
  if (saved > in.size() || count > in.size() / kRangeHeaderBytes) return std::nullopt;
  if (in.size() != kFixedBytes + count * kRangeHeaderBytes + saved + kTrailerBytes)
    return std::nullopt;
  std::size_t body = in.size() - kTrailerBytes;
  if (crc32c(in.first(body)) != get(in, body, 4)) return std::nullopt;
  RollbackRecord record;
  record.identity = {get(in, 8, 8), get(in, 16, 8)};
  record.old_size = get(in, 24, 8);
  record.new_size = get(in, 32, 8);
  record.cut_size = get(in, 40, 8);
  record.header_crc = static_cast<std::uint32_t>(get(in, 48, 4));
  std::size_t at = kFixedBytes;
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

}  // namespace

int roll_back(int fd, const std::string& path, const RollbackRecord& record, JournalIo& io) {
  // Plain readers are kept out until every old byte is back, as during a commit: the file may be
  // whole and new now, and a power cut half-way through would otherwise show them a mixture.
  const bool guarded = record.old_size >= kSignatureBytes;
  Signature signature{};
  if (guarded) {
    if (int e = old_signature(fd, record, &signature)) return e;
    if (int e = hide_from_readers(fd, io)) return e;
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
  if (record && belongs(fd, *record)) {
    *outcome = Recovery::kRolledBack;
    return roll_back(fd, path, *record, io);
  }
  // A commit hides the file in the same step that makes its record durable, and removes the
  // record only once the new content is durable; so a hidden file without a complete record is
  // whole, old or new, and only its signature is missing. One beside a complete record that is
  // not its own is left hidden: nothing says what it holds.
  if (!record && is_hidden(fd)) {
    *outcome = Recovery::kShown;
    if (int e = show_to_readers(fd, kHdf5Signature, io)) return e;
  }
  if (!present) return 0;
  // A record is made durable before the file is touched (the signature aside), so an incomplete
  // one protects nothing; a stale one describes a file that no longer exists under this name.
  *outcome = record ? Recovery::kDiscardedStale : Recovery::kDiscardedIncomplete;
  if (int e = io.unlink(rollback_path(path))) return e;
  return io.fsync_directory_of(path);
}

}  // namespace tessera_plus::h5
