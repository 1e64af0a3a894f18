#include "tessera_plus/base/shared_memory.h"

#include <sys/mman.h>

#include <cerrno>

#include "tessera_plus/base/errors.h"

namespace tessera_plus {

void* map_shared_bytes(std::size_t size) {
  void* p = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) throw_os_error(errno, "cannot map shared memory for the worker processes");
  return p;
}

void unmap_shared_bytes(void* p, std::size_t size) noexcept { ::munmap(p, size); }

void init_shared_robust_mutex(pthread_mutex_t& mutex) {
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
  pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
  pthread_mutex_init(&mutex, &attr);
  pthread_mutexattr_destroy(&attr);
}

SharedMutex::SharedMutex() { init_shared_robust_mutex(mutex_); }

SharedMutex::~SharedMutex() { pthread_mutex_destroy(&mutex_); }

void SharedMutex::lock() {
  if (pthread_mutex_lock(&mutex_) == EOWNERDEAD) pthread_mutex_consistent(&mutex_);
}

void SharedMutex::unlock() { pthread_mutex_unlock(&mutex_); }

}  // namespace tessera_plus
