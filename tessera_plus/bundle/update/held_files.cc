#include "tessera_plus/bundle/update/held_files.h"

#include <atomic>
#include <cstring>

#include "tessera_plus/base/logger.h"
#include "tessera_plus/base/shared_memory.h"

namespace tessera_plus::bundle {
namespace {

// Order book ids are short; a file name given by the caller may be longer, and is then not set
// aside.
constexpr std::size_t kIdBytes = 64;

}  // namespace

struct HeldFiles::Region {
  // Nanoseconds of the monotonic clock when the pass's wait ends; 0 until a file is first held.
  std::atomic<std::int64_t> wait_ends{0};
  std::atomic<std::size_t> count{0};
  // A slot is written before its index is published in `ready`.
  std::atomic<bool> ready[kCapacity];
  char ids[kCapacity][kIdBytes];
};

HeldFiles::HeldFiles(std::chrono::duration<double> wait)
    : region_(make_shared_mapped<Region>()), wait_(wait) {}

h5::LockDeadline HeldFiles::deadline() const {
  return [region = region_, wait = wait_] {
    using namespace std::chrono;
    const auto proposed =
        duration_cast<nanoseconds>(h5::LockClock::now().time_since_epoch() + wait).count();
    std::int64_t ends = 0;
    // The first process to ask starts the wait; everyone else gets the same end.
    if (!region->wait_ends.compare_exchange_strong(ends, proposed)) {
      return h5::LockClock::time_point(nanoseconds(ends));
    }
    return h5::LockClock::time_point(nanoseconds(proposed));
  };
}

bool HeldFiles::set_aside(std::string_view id) const {
  if (id.size() >= kIdBytes) return false;
  const std::size_t slot = region_->count.fetch_add(1);
  if (slot >= kCapacity) return false;
  std::memcpy(region_->ids[slot], id.data(), id.size());
  region_->ids[slot][id.size()] = '\0';
  region_->ready[slot].store(true);
  return true;
}

std::vector<std::string> HeldFiles::set_aside_ids() const {
  std::vector<std::string> ids;
  const std::size_t n = std::min(region_->count.load(), kCapacity);
  for (std::size_t i = 0; i < n; ++i) {
    if (region_->ready[i].load()) ids.emplace_back(region_->ids[i]);
  }
  return ids;
}

h5::LockDeadline announcing_wait(const std::string& file_path, h5::LockDeadline deadline) {
  if (!deadline) return deadline;
  return [file_path, deadline = std::move(deadline)] {
    const h5::LockClock::time_point until = deadline();
    const auto seconds = std::chrono::duration<double>(until - h5::LockClock::now()).count();
    system_log::debug("waiting for " + file_path + ", which another process holds, for up to " +
                      std::to_string(std::max(0.0, seconds)) + " s");
    return until;
  };
}

}  // namespace tessera_plus::bundle
