#include "tessera_plus/base/shared_slots.h"

#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <ctime>

#include <fmt/format.h>

#include "tessera_plus/base/errors.h"
#include "tessera_plus/base/shared_memory.h"

namespace tessera_plus {
namespace {

// How long a waiter sleeps before it looks for holders that died: a release wakes waiters at
// once, so this only bounds how long a dead holder's slot stays lost.
constexpr long kReclaimIntervalNs = 200'000'000;

void check_capacity(int capacity) {
  if (capacity < 1 || capacity > SharedSlots::kMaxCapacity) {
    throw ValueError(
        fmt::format("slots must be from 1 to {}, not {}", SharedSlots::kMaxCapacity, capacity));
  }
}

bool process_gone(pid_t pid) { return ::kill(pid, 0) != 0 && errno == ESRCH; }

}  // namespace

// The slots' state; every field is changed under `mutex` only. `holders[i]` is the pid holding
// slot i, 0 for a free one; only the first `capacity` are used.
struct SharedSlots::Region {
  Region();
  ~Region();
  Region(const Region&) = delete;
  Region& operator=(const Region&) = delete;

  void lock();
  void unlock() { pthread_mutex_unlock(&mutex); }
  // Under the lock: the index of a free slot, or -1.
  int free_slot() const;
  int slot_of(pid_t pid) const;
  int count_held() const;
  // Under the lock: frees the slots of processes that no longer exist; whether it freed any.
  bool reclaim_dead();
  // Under the lock: waits for a release or for the reclaim interval to pass.
  void wait();
  void give_back(int index);
  // Gives back a slot `pid` holds, if it holds one; whether it did.
  bool give_back_of(pid_t pid);
  void take_for(pid_t pid);

  pthread_mutex_t mutex;
  pthread_cond_t released;
  int capacity = 0;
  pid_t holders[kMaxCapacity] = {};
};

SharedSlots::Region::Region() {
  init_shared_robust_mutex(mutex);
  pthread_condattr_t cond_attr;
  pthread_condattr_init(&cond_attr);
  pthread_condattr_setpshared(&cond_attr, PTHREAD_PROCESS_SHARED);
  pthread_condattr_setclock(&cond_attr, CLOCK_MONOTONIC);
  pthread_cond_init(&released, &cond_attr);
  pthread_condattr_destroy(&cond_attr);
}

SharedSlots::Region::~Region() {
  pthread_cond_destroy(&released);
  pthread_mutex_destroy(&mutex);
}

// A process killed under the lock left the slots consistent: every change is one store.
void SharedSlots::Region::lock() {
  if (pthread_mutex_lock(&mutex) == EOWNERDEAD) pthread_mutex_consistent(&mutex);
}

int SharedSlots::Region::free_slot() const { return slot_of(0); }

int SharedSlots::Region::slot_of(pid_t pid) const {
  for (int i = 0; i < capacity; ++i) {
    if (holders[i] == pid) return i;
  }
  return -1;
}

int SharedSlots::Region::count_held() const {
  int n = 0;
  for (int i = 0; i < capacity; ++i) n += holders[i] != 0;
  return n;
}

bool SharedSlots::Region::reclaim_dead() {
  bool freed = false;
  for (int i = 0; i < capacity; ++i) {
    if (holders[i] != 0 && process_gone(holders[i])) {
      holders[i] = 0;
      freed = true;
    }
  }
  return freed;
}

void SharedSlots::Region::wait() {
  timespec until{};
  clock_gettime(CLOCK_MONOTONIC, &until);
  until.tv_nsec += kReclaimIntervalNs;
  if (until.tv_nsec >= 1'000'000'000) {
    until.tv_nsec -= 1'000'000'000;
    ++until.tv_sec;
  }
  if (pthread_cond_timedwait(&released, &mutex, &until) == EOWNERDEAD) {
    pthread_mutex_consistent(&mutex);
  }
}

// One waiter is enough for one slot; one lost with a waiter that died is made up for by the
// others' timed waits.
void SharedSlots::Region::give_back(int index) {
  holders[index] = 0;
  pthread_cond_signal(&released);
}

bool SharedSlots::Region::give_back_of(pid_t pid) {
  lock();
  const int index = slot_of(pid);
  if (index >= 0) give_back(index);
  unlock();
  return index >= 0;
}

void SharedSlots::Region::take_for(pid_t pid) {
  lock();
  for (;;) {
    const int index = free_slot();
    if (index >= 0) {
      holders[index] = pid;
      break;
    }
    if (!reclaim_dead()) wait();
  }
  unlock();
}

SharedSlots::Hold::Hold(Hold&& other) noexcept
    : region_(std::move(other.region_)), holder_(std::exchange(other.holder_, 0)) {}

SharedSlots::Hold& SharedSlots::Hold::operator=(Hold&& other) noexcept {
  if (this != &other) {
    release();
    region_ = std::move(other.region_);
    holder_ = std::exchange(other.holder_, 0);
  }
  return *this;
}

void SharedSlots::Hold::release() noexcept {
  if (!region_ || holder_ != ::getpid()) return;
  region_->give_back_of(holder_);
  holder_ = 0;
}

SharedSlots::StepAside::~StepAside() {
  if (region_) region_->take_for(::getpid());
}

SharedSlots::SharedSlots(int capacity) : maker_(::getpid()) {
  check_capacity(capacity);
  region_ = make_shared_mapped<Region>();
  region_->capacity = capacity;
}

SharedSlots::Hold SharedSlots::take() const {
  const pid_t self = ::getpid();
  region_->take_for(self);
  return Hold(region_, self);
}

SharedSlots::StepAside SharedSlots::step_aside() const {
  return region_->give_back_of(::getpid()) ? StepAside(region_) : StepAside();
}

bool SharedSlots::held_here() const {
  region_->lock();
  const bool held = region_->slot_of(::getpid()) >= 0;
  region_->unlock();
  return held;
}

int SharedSlots::capacity() const {
  region_->lock();
  const int n = region_->capacity;
  region_->unlock();
  return n;
}

int SharedSlots::held() const {
  region_->lock();
  const int n = region_->count_held();
  region_->unlock();
  return n;
}

void SharedSlots::set_capacity(int capacity) {
  check_capacity(capacity);
  if (::getpid() != maker_)
    throw ValueError("only the process that made the slots may resize them");
  region_->lock();
  region_->reclaim_dead();
  const bool busy = region_->count_held() > 0;
  if (!busy) region_->capacity = capacity;
  region_->unlock();
  if (busy) throw ValueError("slots cannot be resized while some are held");
}

}  // namespace tessera_plus
