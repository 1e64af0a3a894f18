#include "tessera_plus/h5/signature_guard.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>

namespace tessera_plus::h5 {

Signature hidden_signature(std::uint32_t commit_id) {
  Signature signature = kUnfinishedSignature;
  for (std::size_t i = 0; i < kHiddenMarkBytes; ++i) {
    signature[kHiddenMarkBytes + i] = static_cast<std::byte>(commit_id >> (8 * i));
  }
  return signature;
}

int hide_from_readers(int fd, const Signature& hiding, JournalIo& io) {
  if (int e = io.pwrite_all(fd, hiding.data(), kSignatureBytes, 0)) return e;
  return io.fdatasync(fd);
}

int show_to_readers(int fd, const Signature& signature, JournalIo& io, Barrier barrier) {
  if (int e = io.pwrite_all(fd, signature.data(), kSignatureBytes, 0)) return e;
  return barrier == Barrier::kSync ? io.fdatasync(fd) : 0;
}

int pwrite_past_signature(int fd, const std::byte* data, std::size_t size, std::uint64_t offset,
                          JournalIo& io) {
  std::uint64_t skip =
      offset < kSignatureBytes ? std::min<std::uint64_t>(kSignatureBytes - offset, size) : 0;
  if (skip == size) return 0;
  return io.pwrite_all(fd, data + skip, size - skip, static_cast<off_t>(offset + skip));
}

std::optional<std::uint32_t> hidden_commit(int fd) {
  Signature first{};
  if (pread_full(fd, first.data(), kSignatureBytes, 0) != static_cast<ssize_t>(kSignatureBytes) ||
      !std::equal(first.begin(), first.begin() + kHiddenMarkBytes, kUnfinishedSignature.begin())) {
    return std::nullopt;
  }
  std::uint32_t id = 0;
  for (std::size_t i = 0; i < kHiddenMarkBytes; ++i) {
    id |= std::to_integer<std::uint32_t>(first[kHiddenMarkBytes + i]) << (8 * i);
  }
  return id;
}

bool is_hidden(int fd) { return hidden_commit(fd).has_value(); }

bool is_hidden(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  bool hidden = is_hidden(fd);
  ::close(fd);
  return hidden;
}

}  // namespace tessera_plus::h5
