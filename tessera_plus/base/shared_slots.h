// A counting semaphore shared by a process and every process forked after it was made: at most
// `capacity` holders at once, all processes together. It bounds what the processes of a run do at
// once (requests waiting for the service, files being compressed and written) apart from how many
// processes there are.
//
// A slot belongs to the process that took it, by pid. A holder that dies without giving its slot
// back (killed, crashed) does not shrink the capacity for good: waiters take back the slots of
// processes that no longer exist. A process forked while its parent holds a slot holds none, and
// cannot give back or step out of its parent's.
#pragma once

#include <sys/types.h>

#include <memory>
#include <utility>

namespace tessera_plus {

class SharedSlots {
  struct Region;

 public:
  static constexpr int kMaxCapacity = 1024;

  // A slot taken by take(); given back when it ends, by the process that took it only.
  class Hold {
   public:
    Hold() = default;
    ~Hold() { release(); }
    Hold(Hold&& other) noexcept;
    Hold& operator=(Hold&& other) noexcept;
    Hold(const Hold&) = delete;
    Hold& operator=(const Hold&) = delete;
    // Gives the slot back now; nothing when this process does not hold it.
    void release() noexcept;

   private:
    friend class SharedSlots;
    Hold(std::shared_ptr<Region> region, pid_t holder)
        : region_(std::move(region)), holder_(holder) {}
    std::shared_ptr<Region> region_;
    pid_t holder_ = 0;
  };

  // While it lives, the slot this process held when it was made is free for others; its end waits
  // for a slot again. Nothing at all when this process held no slot.
  class StepAside {
   public:
    StepAside() = default;
    ~StepAside();
    StepAside(StepAside&& other) noexcept = default;
    StepAside(const StepAside&) = delete;
    StepAside& operator=(const StepAside&) = delete;
    StepAside& operator=(StepAside&&) = delete;

   private:
    friend class SharedSlots;
    explicit StepAside(std::shared_ptr<Region> region) : region_(std::move(region)) {}
    std::shared_ptr<Region> region_;
  };

  // `capacity` slots in fresh shared memory; ValueError unless it is from 1 to kMaxCapacity.
  explicit SharedSlots(int capacity);

  // Waits until a slot is free and takes it for this process.
  Hold take() const;
  // Gives back one slot this process holds until the result ends (see StepAside).
  StepAside step_aside() const;
  // Whether this very process holds a slot.
  bool held_here() const;

  int capacity() const;
  // Slots held now, by processes alive or not yet found dead.
  int held() const;
  // Between runs: ValueError from a process other than the one that made the slots, while any
  // slot is held, or for a capacity out of range.
  void set_capacity(int capacity);

 private:
  std::shared_ptr<Region> region_;
  pid_t maker_;
};

}  // namespace tessera_plus
