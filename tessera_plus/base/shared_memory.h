// Memory shared with worker processes: mapped anonymous and shared before the fork, so every
// process forked afterwards reads and writes the same bytes.
#pragma once

#include <pthread.h>

#include <cstddef>
#include <memory>
#include <new>

namespace tessera_plus {

// Maps `size` zeroed bytes; OSError when the kernel refuses.
void* map_shared_bytes(std::size_t size);
void unmap_shared_bytes(void* p, std::size_t size) noexcept;

// A T constructed in fresh shared memory, unmapped when the last owner in this process lets go.
// T must be usable by several processes at once: plain data, atomics, a SharedMutex.
template <typename T>
std::shared_ptr<T> make_shared_mapped() {
  T* object = new (map_shared_bytes(sizeof(T))) T();
  return std::shared_ptr<T>(object, [](T* p) {
    p->~T();
    unmap_shared_bytes(p, sizeof(T));
  });
}

// Makes `mutex` usable by every process that maps it, and robust (see SharedMutex).
void init_shared_robust_mutex(pthread_mutex_t& mutex);

// A mutex that works across processes. Robust: a worker killed while it holds the lock does not
// wedge the others; the next owner takes the lock over as it is (the data it guards is only ever
// updated in steps that leave it consistent).
class SharedMutex {
 public:
  SharedMutex();
  ~SharedMutex();
  SharedMutex(const SharedMutex&) = delete;
  SharedMutex& operator=(const SharedMutex&) = delete;
  void lock();
  void unlock();

 private:
  pthread_mutex_t mutex_;
};

}  // namespace tessera_plus
