#include "tessera_plus/h5/write_overlay.h"

#include <algorithm>
#include <cstring>
#include <iterator>

namespace tessera_plus::h5 {

void WriteOverlay::write(std::uint64_t offset, const std::byte* data, std::size_t size) {
  if (size == 0) return;
  std::uint64_t start = offset;
  std::uint64_t end = offset + size;
  auto first = extents_.upper_bound(start);
  if (first != extents_.begin()) {
    auto previous = std::prev(first);
    if (previous->first + previous->second.size() >= start) first = previous;
  }
  auto last = first;
  while (last != extents_.end() && last->first <= end) {
    start = std::min(start, last->first);
    end = std::max(end, last->first + last->second.size());
    ++last;
  }
  if (first != last && first->first == start) {
    // The extent that starts the merged range grows in place: HDF5 writes a new file's chunks
    // one after the other, and building a fresh merged copy at every one of them would be
    // quadratic (a tick batch would spend a fifth of its time copying what it had written).
    std::vector<std::byte>& bytes = first->second;
    if (bytes.size() < end - start) {
      if (bytes.capacity() < end - start)
        bytes.reserve(std::max(end - start, 2 * bytes.capacity()));
      bytes.resize(end - start);
    }
    for (auto it = std::next(first); it != last; ++it) {
      std::memcpy(bytes.data() + (it->first - start), it->second.data(), it->second.size());
    }
    std::memcpy(bytes.data() + (offset - start), data, size);
    extents_.erase(std::next(first), last);
    return;
  }
  std::vector<std::byte> merged(end - start);
  for (auto it = first; it != last; ++it) {
    std::memcpy(merged.data() + (it->first - start), it->second.data(), it->second.size());
  }
  std::memcpy(merged.data() + (offset - start), data, size);
  extents_.erase(first, last);
  extents_.emplace(start, std::move(merged));
}

void WriteOverlay::read_over(std::uint64_t offset, std::byte* out, std::size_t size) const {
  std::uint64_t end = offset + size;
  auto it = extents_.upper_bound(offset);
  if (it != extents_.begin()) --it;
  for (; it != extents_.end() && it->first < end; ++it) {
    std::uint64_t from = std::max(offset, it->first);
    std::uint64_t to = std::min(end, it->first + it->second.size());
    if (from >= to) continue;
    std::memcpy(out + (from - offset), it->second.data() + (from - it->first), to - from);
  }
}

void WriteOverlay::cut(std::uint64_t size) {
  auto it = extents_.lower_bound(size);
  extents_.erase(it, extents_.end());
  if (extents_.empty()) return;
  auto& [start, bytes] = *std::prev(extents_.end());
  if (start + bytes.size() > size) bytes.resize(size - start);
}

}  // namespace tessera_plus::h5
