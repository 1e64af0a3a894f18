// Files that readers hold while an update runs. The first file of a pass that another process
// holds starts one wait for the whole pass: every worker's open waits for its file until that
// wait is up, so however many files readers hold, the pass takes at most that much longer. A file
// still held then is set aside and tried once more when the pass has done everything else.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "tessera_plus/h5/lock_wait.h"

namespace tessera_plus::bundle {

class HeldFiles {
 public:
  // At most this many instruments are set aside; any beyond fail at once.
  static constexpr std::size_t kCapacity = 8192;

  // In fresh shared memory, before the workers are forked, so that they all use the same one.
  explicit HeldFiles(std::chrono::duration<double> wait);

  // For the writers' opens (WriteOptions::lock_deadline): the end of the pass's wait, which
  // the first call of any process starts.
  h5::LockDeadline deadline() const;
  // Sets the instrument `id` aside; false when there is no room (or the id is too long).
  bool set_aside(std::string_view id) const;
  // The instruments set aside, in the order they were.
  std::vector<std::string> set_aside_ids() const;

 private:
  struct Region;
  std::shared_ptr<Region> region_;
  std::chrono::duration<double> wait_;
};

// `deadline` for the writer of `file_path`, which also writes a debug line to the system log when
// the wait for that file begins; unset stays unset.
h5::LockDeadline announcing_wait(const std::string& file_path, h5::LockDeadline deadline);

}  // namespace tessera_plus::bundle
