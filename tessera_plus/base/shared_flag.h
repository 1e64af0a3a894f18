// The success flag shared by an update's main process and its worker processes: a boolean with
// its own lock, in memory mapped shared before the workers are forked.
#pragma once

#include <memory>

namespace tessera_plus {

class SharedFlag {
 public:
  // A new flag in fresh shared memory. Processes forked afterwards see the same flag.
  static SharedFlag create(bool initial);

  bool value() const;
  void set_value(bool value);

 private:
  struct Region;
  explicit SharedFlag(std::shared_ptr<Region> region) : region_(std::move(region)) {}
  std::shared_ptr<Region> region_;
};

// The flag that the worker initializer published in this process, as `sval`. Writers
// fetch it at every call and only ever set it to false. Error when no flag has been published.
SharedFlag& sval();
// Publishes `flag` as this process's `sval`.
void publish_sval(SharedFlag flag);

}  // namespace tessera_plus
