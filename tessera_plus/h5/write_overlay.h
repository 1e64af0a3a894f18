// The writes of a journaled session, kept in memory until the commit: disjoint byte extents keyed
// by file offset. Overlapping and touching writes merge, so a commit makes few large writes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <vector>

namespace tessera_plus::h5 {

class WriteOverlay {
 public:
  using Extents = std::map<std::uint64_t, std::vector<std::byte>>;

  void write(std::uint64_t offset, const std::byte* data, std::size_t size);
  // Lays the session's bytes of [offset, offset + size) over `out`, which holds the older content.
  void read_over(std::uint64_t offset, std::byte* out, std::size_t size) const;
  // Forgets every byte at or beyond `size`, as a shrinking truncation does.
  void cut(std::uint64_t size);

  const Extents& extents() const { return extents_; }
  bool empty() const { return extents_.empty(); }

 private:
  Extents extents_;
};

}  // namespace tessera_plus::h5
