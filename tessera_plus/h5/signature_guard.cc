#include "tessera_plus/h5/signature_guard.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>

namespace tessera_plus::h5 {

int hide_from_readers(int fd, JournalIo& io) {
  if (int e = io.pwrite_all(fd, kUnfinishedSignature.data(), kSignatureBytes, 0)) return e;
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

bool is_hidden(int fd) {
  Signature first{};
  return pread_full(fd, first.data(), kSignatureBytes, 0) ==
             static_cast<ssize_t>(kSignatureBytes) &&
         first == kUnfinishedSignature;
}

bool is_hidden(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  bool hidden = is_hidden(fd);
  ::close(fd);
  return hidden;
}

}  // namespace tessera_plus::h5
