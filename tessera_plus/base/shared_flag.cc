#include "tessera_plus/base/shared_flag.h"

#include <pthread.h>
#include <sys/mman.h>

#include <cerrno>
#include <optional>

#include "tessera_plus/base/errors.h"

namespace tessera_plus {

struct SharedFlag::Region {
  struct Shared {
    pthread_mutex_t lock;
    bool value;
  };
  Shared* shared = nullptr;

  explicit Region(bool initial) {
    void* p =
        ::mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) throw_os_error(errno, "cannot map shared memory for the success flag");
    shared = static_cast<Shared*>(p);
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
    // A worker killed while holding the lock must not wedge every other process.
    pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
    pthread_mutex_init(&shared->lock, &attr);
    pthread_mutexattr_destroy(&attr);
    shared->value = initial;
  }
  ~Region() { ::munmap(shared, sizeof(Shared)); }
  Region(const Region&) = delete;
  Region& operator=(const Region&) = delete;

  void lock() {
    if (pthread_mutex_lock(&shared->lock) == EOWNERDEAD) pthread_mutex_consistent(&shared->lock);
  }
  void unlock() { pthread_mutex_unlock(&shared->lock); }
};

SharedFlag SharedFlag::create(bool initial) {
  return SharedFlag(std::make_shared<Region>(initial));
}

bool SharedFlag::value() const {
  region_->lock();
  bool v = region_->shared->value;
  region_->unlock();
  return v;
}

void SharedFlag::set_value(bool value) {
  region_->lock();
  region_->shared->value = value;
  region_->unlock();
}

namespace {
// The host module's `sval`: the one published flag of this process.
std::optional<SharedFlag>& published() {
  static std::optional<SharedFlag> flag;
  return flag;
}
}  // namespace

SharedFlag& sval() {
  if (!published()) throw Error("no shared success flag has been published in this process");
  return *published();
}

void publish_sval(SharedFlag flag) { published() = std::move(flag); }

}  // namespace tessera_plus
